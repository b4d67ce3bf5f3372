// Base64 in the standard alphabet with "=" padding, computed here for the
// specialised paths that stand in for base64.encodebytes and
// base64.decodebytes.
#pragma once

#include "common/specialised.h"

#include <cstddef>
#include <cstdint>

namespace cm {

// str(base64.encodebytes(data), encoding="utf-8").replace("\n", ""): the
// encoding on one line. Without the GIL from kGilThreshold bytes, so `data`
// must stay where it is for the call (the bytes of an immutable object).
Ref base64_line(const uint8_t* data, size_t size);

// The most bytes that base64_decode can give for `size` characters.
size_t base64_bound(size_t size);

// base64.decodebytes(text) into `out` (base64_bound(size) bytes), for the
// texts whose reading every release of binascii agrees on: characters of the
// alphabet, any other character skipped, and "=" only as the padding that an
// incomplete last group needs, right after it and followed by skipped
// characters alone. The size decoded, or -1 for any other text (bad, excess
// or misplaced padding, leftover bits): the library says what those are.
// Without the GIL from kGilThreshold characters, as base64_line.
ptrdiff_t base64_decode(const uint8_t* text, size_t size, uint8_t* out);

// What base64.encodebytes and base64.decodebytes run, shared by every path
// that computes them.
Guard& encodebytes_guard();
Guard& decodebytes_guard();

}  // namespace cm
