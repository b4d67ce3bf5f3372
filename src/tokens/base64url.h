// Base64url without padding (RFC 4648, section 5), as tokens carry their
// segments.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cm {
namespace base64url {

constexpr size_t encoded_size(size_t n) { return n / 3 * 4 + (n % 3 ? n % 3 + 1 : 0); }
constexpr size_t decoded_bound(size_t n) { return n / 4 * 3 + 2; }

// Writes encoded_size(n) characters.
void encode(const uint8_t* in, size_t n, char* out);

// The bytes of a canonical segment (what encoding them gives back exactly),
// at most decoded_bound(n) of them, their count in `written`; false for
// anything else: a character outside the alphabet, padding, a length no
// encoding has, bits left over that encoding leaves zero.
bool decode(const char* in, size_t n, uint8_t* out, size_t& written);

}  // namespace base64url
}  // namespace cm
