// Arithmetic modulo an odd number of 1 to kMaxWords 64-bit words
// (little-endian), in Montgomery form: multiplication, exponentiation and
// the conversions. Nothing here depends on the interpreter, so a test can
// build it on its own.
//
// Secret values (the primes, the private exponents, the numbers raised to
// them) take the same instructions and touch the same memory whatever their
// value: no branch and no table index depends on them. What may steer the
// work is public: the word count of a modulus, and the exponent of
// pow_public. A secret modulus's word count is its bit length rounded up to
// whole words, which the key's size fixes.
#pragma once

#include <cstdint>
#include <x86intrin.h>  // add and subtract with carry, SSE2 (x86-64, as the module)

namespace cm {
namespace mont {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr int kMaxWords = 128;  // moduli up to 8192 bits

// All ones when x is 1, zero when x is 0.
inline u64 mask_of(u64 bit) { return (u64)0 - bit; }

// r = a - b over n words, the borrow out (0 or 1).
inline u64 sub(u64* r, const u64* a, const u64* b, int n) {
    unsigned char borrow = 0;
    for (int i = 0; i < n; i++) {
        unsigned long long d;
        borrow = _subborrow_u64(borrow, a[i], b[i], &d);
        r[i] = d;
    }
    return borrow;
}

// r = a + b over n words, the carry out.
inline u64 add(u64* r, const u64* a, const u64* b, int n) {
    unsigned char carry = 0;
    for (int i = 0; i < n; i++) {
        unsigned long long s;
        carry = _addcarry_u64(carry, a[i], b[i], &s);
        r[i] = s;
    }
    return carry;
}

// r = mask ? a : b
inline void select(u64* r, u64 mask, const u64* a, const u64* b, int n) {
    for (int i = 0; i < n; i++)
        r[i] = (a[i] & mask) | (b[i] & ~mask);
}

inline void copy(u64* r, const u64* a, int n) {
    for (int i = 0; i < n; i++)
        r[i] = a[i];
}

// Bit length of a public number.
inline int bit_length(const u64* a, int n) {
    for (int i = n - 1; i >= 0; i--)
        if (a[i])
            return 64 * i + 64 - __builtin_clzll(a[i]);
    return 0;
}

// a < b, public numbers.
inline bool less(const u64* a, const u64* b, int n) {
    unsigned char borrow = 0;
    for (int i = 0; i < n; i++) {
        unsigned long long d;
        borrow = _subborrow_u64(borrow, a[i], b[i], &d);
    }
    return borrow != 0;
}

// r (na + nb words) = a b, schoolbook; the words' values steer nothing.
inline void mul_words(u64* r, const u64* a, int na, const u64* b, int nb) {
    for (int i = 0; i < na + nb; i++)
        r[i] = 0;
    for (int i = 0; i < nb; i++) {
        u64 c = 0;
        for (int j = 0; j < na; j++) {
            u128 s = (u128)a[j] * b[i] + r[i + j] + c;
            r[i + j] = (u64)s;
            c = (u64)(s >> 64);
        }
        r[i + na] = c;
    }
}

// Big-endian bytes to words and back.
inline void words_of_bytes(u64* w, int words, const uint8_t* bytes, int size) {
    for (int i = 0; i < words; i++)
        w[i] = 0;
    for (int k = 0; k < size; k++)
        w[k / 8] |= (u64)bytes[size - 1 - k] << (8 * (k % 8));
}
inline void bytes_of_words(uint8_t* bytes, int size, const u64* w) {
    for (int k = 0; k < size; k++)
        bytes[size - 1 - k] = (uint8_t)(w[k / 8] >> (8 * (k % 8)));
}

class Modulus {
public:
    // m: odd, above 1, of `words` words with the top one nonzero (the
    // caller checks). A public modulus's R^2 comes by long division, whose
    // steps follow its value; a secret one's by steps its word count sets.
    Modulus(const u64* m, int words, bool is_public = false);
    // m: a secret factor of `multiple` (a public modulus): its R^2 from the
    // multiple's, in steps its word counts set.
    Modulus(const u64* m, int words, const Modulus& multiple);

    int words() const { return n_; }
    const u64* value() const { return m_; }

    // r = a b / R mod m, for a b < m R (both below m, or one below R and
    // the other below m). r may alias a or b.
    void mul(u64* r, const u64* a, const u64* b) const;

    // The Montgomery form of a < R: a R mod m.
    void to(u64* r, const u64* a) const { mul(r, a, rr_); }
    // Back from the Montgomery form: a / R mod m, fully reduced.
    void from(u64* r, const u64* a) const {
        u64 one[kMaxWords];
        zero(one);
        one[0] = 1;
        mul(r, a, one);
    }
    // a mod m for any a < R.
    void reduce(u64* r, const u64* a) const {
        u64 t[kMaxWords];
        to(t, a);
        from(r, t);
    }
    // r = a b mod m, plain numbers, a < R, b < m.
    void mul_plain(u64* r, const u64* a, const u64* b) const {
        u64 t[kMaxWords];
        mul(t, a, b);   // a b / R
        mul(r, t, rr_); // a b
    }
    // x mod m for x of `words` words, at most 2n: x = hi R + lo gives
    // hi R (the Montgomery form of hi) + lo mod m.
    void reduce_wide(u64* r, const u64* x, int words) const {
        u64 lo[kMaxWords], hi[kMaxWords];
        zero(lo);
        zero(hi);
        for (int i = 0; i < words && i < 2 * n_; i++)
            (i < n_ ? lo[i] : hi[i - n_]) = x[i];
        u64 a[kMaxWords], b[kMaxWords];
        to(a, hi);
        reduce(b, lo);
        add_mod(r, a, b);
    }
    // r = a + b mod m, both below m
    void add_mod(u64* r, const u64* a, const u64* b) const {
        u64 carry = add(r, a, b, n_);
        reduce_once(r, r, carry);
    }
    // r = a - b mod m, both below m
    void sub_mod(u64* r, const u64* a, const u64* b) const {
        u64 borrow = sub(r, a, b, n_);
        u64 back[kMaxWords];
        add(back, r, m_, n_);
        select(r, mask_of(borrow), back, r, n_);
    }

    // r = base^exp mod m, plain numbers, base < R, exp of at most `bits`
    // bits, a public bound (a private exponent's: 64 times its modulus's
    // words), every one of them worked through whatever its value.
    void pow(u64* r, const u64* base, const u64* exp, int bits) const;

    // r1 = b1^e1 mod m1 and r2 = b2^e2 mod m2, as pow with 64 bits for each
    // word of the modulus: the two CRT halves. Where both moduli are small,
    // the two powers' products alternate, each filling the other's waits.
    static void pow_pair(u64* r1, const Modulus& m1, const u64* b1, const u64* e1, u64* r2, const Modulus& m2,
                         const u64* b2, const u64* e2);

    // r = base^exp mod m for a public exponent of `words` words: its bits
    // steer the squarings and multiplications, the base's value nothing.
    void pow_public(u64* r, const u64* base, const u64* exp, int words) const;

    // r = t mod m for t = hi R + t[0..n) < 2m.
    void reduce_once(u64* r, const u64* t, u64 hi) const;

private:
    template <int N>
    struct Kernel;
    template <int N1, int N2>
    static void pow_pair_of(u64* r1, const Modulus& m1, const u64* b1, const u64* e1, u64* r2, const Modulus& m2,
                            const u64* b2, const u64* e2);

    void set(const u64* m);  // m_ and minv_

    void zero(u64* a) const {
        for (int i = 0; i < n_; i++)
            a[i] = 0;
    }

    u64 m_[kMaxWords];
    u64 rr_[kMaxWords];  // R^2 mod m
    u64 minv_;           // -m^-1 mod 2^64
    int n_;
};

}  // namespace mont
}  // namespace cm
