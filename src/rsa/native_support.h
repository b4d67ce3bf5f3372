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
// it needs (0 for zero). number_of zeroes w above `words` up to the size
// it was asked for and at least one word further.
struct Number {
    u64 w[kMaxWords];
    int words = 0;
    int bits() const;
};

// a < m, over the words either needs
inline bool below(const Number& a, const Number& m) {
    return mont::less(a.w, m.w, a.words > m.words ? a.words : m.words);
}

// An exact int from 0 to 2^(64 kMaxWords) - 1; false (no exception)
// for anything else.
// `size` is the bytes the caller expects it to take (a key's numbers are no
// longer than its modulus): a guess too small only costs a second try.
bool number_of(PyObject* x, Number& out, int size = 64);
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

// ---- the library's random numbers

// Keys of this many bits and more are worked without the GIL (a 1024-bit
// decryption is a few hundred microseconds of arithmetic), as
// without_gil_then hands over work of kGilThreshold bytes.
constexpr int kGilBits = 1024;

// rsa.randnum.read_random_int(bits): `bits` random bits with the top one
// set, in `words` words.
inline bool random_int(RandomPool& pool, u64* out, int words, int bits) {
    uint8_t bytes[8 * kMaxWords];
    int size = (bits + 7) / 8;
    if (!pool.take(bytes, (size_t)size))
        return false;
    mont::words_of_bytes(out, words, bytes, size);
    for (int i = 0; i < size; i++)
        bytes[i] = 0;
    for (int i = 0; i < words; i++) {
        if (64 * i >= bits)
            out[i] = 0;
        else if (64 * (i + 1) > bits)
            out[i] &= ((u64)1 << (bits - 64 * i)) - 1;
    }
    out[(bits - 1) / 64] |= (u64)1 << ((bits - 1) % 64);
    return true;
}

// rsa.randnum.randint(maxvalue): read_random_int(bit_size(maxvalue)) until
// one is at most maxvalue, a bit shorter after every ten tries.
inline bool randint(RandomPool& pool, u64* out, const u64* maxvalue, int words) {
    int bit_size = mont::bit_length(maxvalue, words);
    for (int tries = 0;; tries++) {
        if (bit_size < 1 || !random_int(pool, out, words, bit_size))
            return false;
        if (!mont::less(maxvalue, out, words))
            return true;
        if (tries % 10 == 0 && tries)
            bit_size -= 1;
    }
}

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
