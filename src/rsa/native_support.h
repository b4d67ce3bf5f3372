// What the native RSA paths share: numbers between Python ints and words,
// the operating system's random bytes, and the library release they follow.
#pragma once

#include "common/body.h"
#include "rsa/montgomery.h"

#include <cstddef>
#include <cstdint>

namespace cm {
namespace rsa_native {

using mont::kMaxWords;
using mont::u64;

// A non-negative number of at most kMaxWords words, and how many of them
// it needs (0 for zero).
struct Number {
    u64 w[kMaxWords] = {};
    int words = 0;
    int bits() const;
};

// An exact int from 0 to 2^(64 kMaxWords) - 1; false (no exception)
// for anything else.
bool number_of(PyObject* x, Number& out);
// The int of `words` words.
Ref int_of(const u64* w, int words);

// Random bytes from the operating system's CSPRNG (getrandom(2), as
// os.urandom reads it); false when it gives none. Needs no GIL.
bool random_bytes(uint8_t* out, size_t size);

// Random bytes drawn in batches, for a search that needs many small draws.
class RandomPool {
public:
    // false when the operating system gives no bytes
    bool take(uint8_t* out, size_t size);

private:
    uint8_t buffer_[512];
    size_t left_ = 0;
};

// Where a path's first results are checked by the path itself, with the
// library's own functions (results that are random, calls that change a
// key's state), before the runner compares them with the generic path's.
struct FirstResults {
    enum State : unsigned char { Unchecked, Sound, Refused };
    State state[4] = {};
};

// rsa.__version__ is one whose steps the native paths follow.
bool known_version();

}  // namespace rsa_native
}  // namespace cm
