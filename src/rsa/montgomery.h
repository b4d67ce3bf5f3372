// Arithmetic modulo an odd number of N 64-bit words (little-endian), in
// Montgomery form: multiplication, exponentiation and the conversions, for
// the few sizes RSA keys of this module have. Nothing here depends on the
// interpreter, so a test can build it on its own.
//
// Secret values (the primes, the private exponents, the numbers raised to
// them) take the same instructions and touch the same memory whatever their
// value: no branch and no table index depends on them. What may steer the
// work is public: the word count, the bit length of a modulus (fixed by the
// key's size), and the exponent of pow_public.
#pragma once

#include <cstdint>
#include <x86intrin.h>  // add and subtract with carry (x86-64, as the module)

namespace cm {
namespace mont {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr int kMaxWords = 4;

// All ones when x is 1, zero when x is 0.
inline u64 mask_of(u64 bit) { return (u64)0 - bit; }

// r = a - b, the borrow out (0 or 1).
template <int N>
[[gnu::always_inline]] inline u64 sub(u64* r, const u64* a, const u64* b) {
    unsigned char borrow = 0;
    for (int i = 0; i < N; i++) {
        unsigned long long d;
        borrow = _subborrow_u64(borrow, a[i], b[i], &d);
        r[i] = d;
    }
    return borrow;
}

// r = a + b, the carry out.
template <int N>
[[gnu::always_inline]] inline u64 add(u64* r, const u64* a, const u64* b) {
    unsigned char carry = 0;
    for (int i = 0; i < N; i++) {
        unsigned long long s;
        carry = _addcarry_u64(carry, a[i], b[i], &s);
        r[i] = s;
    }
    return carry;
}

// r = mask ? a : b
template <int N>
[[gnu::always_inline]] inline void select(u64* r, u64 mask, const u64* a, const u64* b) {
    for (int i = 0; i < N; i++)
        r[i] = (a[i] & mask) | (b[i] & ~mask);
}

template <int N>
inline void copy(u64* r, const u64* a) {
    for (int i = 0; i < N; i++)
        r[i] = a[i];
}

// Bit length of a public number.
template <int N>
inline int bit_length(const u64* a) {
    for (int i = N - 1; i >= 0; i--)
        if (a[i])
            return 64 * i + 64 - __builtin_clzll(a[i]);
    return 0;
}

// a < b, public numbers.
template <int N>
inline bool less(const u64* a, const u64* b) {
    u64 r[N];
    return sub<N>(r, a, b) != 0;
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

template <int N>
class Modulus {
public:
    // m: odd, above 1 (the caller checks).
    explicit Modulus(const u64* m) {
        copy<N>(m_, m);
        // -m^-1 mod 2^64 by Newton's iteration: m*m = 1 mod 8 gives 3 bits,
        // each step doubles them.
        u64 inv = m[0];
        for (int i = 0; i < 5; i++)
            inv *= 2 - m[0] * inv;
        minv_ = (u64)0 - inv;
        // R mod m from 2^(b-1) < m by doubling, then 2^16 R, the Montgomery
        // form of 2^16, raised to the power 4N: R^2 mod m.
        int b = bit_length<N>(m);
        lazy_ = b <= 64 * N - 2;
        u64 x[N] = {};
        x[(b - 1) / 64] = (u64)1 << ((b - 1) % 64);
        for (int i = 0; i < 64 * N - b + 1 + 16; i++)
            double_(x);
        u64 base[N];
        copy<N>(base, x);
        const int k = 4 * N;
        for (int bit = 30 - __builtin_clz((unsigned)k); bit >= 0; bit--) {
            mul(x, x, x);
            if ((k >> bit) & 1)
                mul(x, x, base);
        }
        copy<N>(rr_, x);
    }

    const u64* value() const { return m_; }

    // r = a b / R mod m, for a b < m R (both below m, or one below R and
    // the other below m). r may alias a or b.
    [[gnu::noinline]] void mul(u64* r, const u64* a, const u64* b) const {
        u64 t[N];
        u64 hi = redc_product(t, a, b);
        reduce_once(r, t, hi);
    }

    // The Montgomery form of a < R: a R mod m.
    void to(u64* r, const u64* a) const { mul(r, a, rr_); }
    // Back from the Montgomery form: a / R mod m, fully reduced.
    void from(u64* r, const u64* a) const {
        u64 one[N] = {1};
        mul(r, a, one);
    }
    // a mod m for any a < R.
    void reduce(u64* r, const u64* a) const {
        u64 t[N];
        to(t, a);
        from(r, t);
    }
    // r = a b mod m, plain numbers, a < R, b < m.
    void mul_plain(u64* r, const u64* a, const u64* b) const {
        u64 t[N];
        mul(t, a, b);   // a b / R
        mul(r, t, rr_); // a b
    }

    // x mod m for x of `words` words, at most 2N: x = hi R + lo gives
    // hi R (the Montgomery form of hi) + lo mod m.
    void reduce_wide(u64* r, const u64* x, int words) const {
        u64 lo[N] = {}, hi[N] = {};
        for (int i = 0; i < words && i < 2 * N; i++)
            (i < N ? lo[i] : hi[i - N]) = x[i];
        u64 a[N], b[N];
        to(a, hi);
        reduce(b, lo);
        add_mod(r, a, b);
    }
    // r = a + b mod m, both below m
    void add_mod(u64* r, const u64* a, const u64* b) const {
        u64 carry = add<N>(r, a, b);
        reduce_once(r, r, carry);
    }
    // r = a - b mod m, both below m
    void sub_mod(u64* r, const u64* a, const u64* b) const {
        u64 borrow = sub<N>(r, a, b);
        u64 back[N];
        add<N>(back, r, m_);
        select<N>(r, mask_of(borrow), back, r);
    }

    // r = base^exp mod m, plain numbers, base < R, exp of at most `bits`
    // bits (a public bound; the exponent's value steers nothing).
    void pow(u64* r, const u64* base, const u64* exp, int bits) const {
        if (lazy_)
            pow_window<true>(r, base, exp, bits);
        else
            pow_window<false>(r, base, exp, bits);
    }

    // r = base^exp mod m for a public exponent of `words` words: its bits
    // steer the squarings and multiplications, the base's value nothing.
    void pow_public(u64* r, const u64* base, const u64* exp, int words) const {
        u64 b[N], acc[N];
        u64 one[N] = {1};
        to(b, base);
        to(acc, one);
        int top = 64 * words - 1;
        while (top >= 0 && !((exp[top / 64] >> (top % 64)) & 1))
            top--;
        for (int i = top; i >= 0; i--) {
            mul(acc, acc, acc);
            if ((exp[i / 64] >> (i % 64)) & 1)
                mul(acc, acc, b);
        }
        from(r, acc);
    }

private:
    // t (N words, plus the returned top word) = a b / R mod m, below 2m
    // when a b < m R, or when a, b < 2m and 4m <= R. Product scanning:
    // each column of a b + u m gathers in three words, u[i] chosen so the
    // low word of column i is zero.
    [[gnu::always_inline]] u64 redc_product(u64* t, const u64* a, const u64* b) const {
        u64 u[N];
        u64 c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 8
        for (int i = 0; i < N; i++) {
#pragma GCC unroll 8
            for (int j = 0; j < i; j++) {
                mac(c0, c1, c2, a[j], b[i - j]);
                mac(c0, c1, c2, u[j], m_[i - j]);
            }
            mac(c0, c1, c2, a[i], b[0]);
            u[i] = c0 * minv_;
            mac(c0, c1, c2, u[i], m_[0]);
            c0 = c1;
            c1 = c2;
            c2 = 0;
        }
#pragma GCC unroll 8
        for (int i = N; i < 2 * N; i++) {
#pragma GCC unroll 8
            for (int j = i - N + 1; j < N; j++) {
                mac(c0, c1, c2, a[j], b[i - j]);
                mac(c0, c1, c2, u[j], m_[i - j]);
            }
            t[i - N] = c0;
            c0 = c1;
            c1 = c2;
            c2 = 0;
        }
        return c0;
    }
    // (c2 c1 c0) += a b
    [[gnu::always_inline]] static void mac(u64& c0, u64& c1, u64& c2, u64 a, u64 b) {
        u128 p = (u128)a * b;
        unsigned long long s0, s1, s2;
        unsigned char k = _addcarry_u64(0, c0, (u64)p, &s0);
        k = _addcarry_u64(k, c1, (u64)(p >> 64), &s1);
        _addcarry_u64(k, c2, 0, &s2);
        c0 = s0;
        c1 = s1;
        c2 = s2;
    }
    // r = a b / R, below 2m, for a, b < 2m: with 4m <= R no top word and
    // no subtraction; otherwise the full reduction.
    template <bool Lazy>
    [[gnu::always_inline]] void mul_in_pow(u64* r, const u64* a, const u64* b) const {
        if (Lazy) {
            u64 t[N];
            redc_product(t, a, b);
            copy<N>(r, t);
        } else {
            mul(r, a, b);
        }
    }

    // pow with every table entry and product below 2m (below m unless Lazy)
    template <bool Lazy>
    void pow_window(u64* r, const u64* base, const u64* exp, int bits) const {
        alignas(16) u64 table[16][kLanes * 2] = {};
        u64 one[N] = {1};
        to(table[0], one);
        to(table[1], base);
        for (int i = 2; i < 16; i++)
            mul_in_pow<Lazy>(table[i], table[i - 1], table[1]);
        u64 acc[N], pick[N];
        int w = (bits + 3) / 4 - 1;
        // the top window's entry starts the product (1 squared is 1)
        if (w >= 0)
            pick_entry(acc, table, (exp[w / 16] >> (4 * (w % 16))) & 15);
        else
            copy<N>(acc, table[0]);
        for (w--; w >= 0; w--) {
            for (int s = 0; s < 4; s++)
                mul_in_pow<Lazy>(acc, acc, acc);
            pick_entry(pick, table, (exp[w / 16] >> (4 * (w % 16))) & 15);
            mul_in_pow<Lazy>(acc, acc, pick);
        }
        from(r, acc);  // acc / R < m + 1, and m itself reduces to 0
    }

    // 128-bit lanes of a table entry
    static constexpr int kLanes = (N + 1) / 2;

    // r = table[index]: every entry is read and masked, the index compared
    // in all lanes at once.
    static void pick_entry(u64* r, const u64 (*table)[kLanes * 2], u64 index) {
        const __m128i want = _mm_set1_epi32((int)index), step = _mm_set1_epi32(1);
        __m128i at = _mm_setzero_si128();
        __m128i sum[kLanes];
        for (int l = 0; l < kLanes; l++)
            sum[l] = _mm_setzero_si128();
        for (int i = 0; i < 16; i++) {
            __m128i mask = _mm_cmpeq_epi32(at, want);
            for (int l = 0; l < kLanes; l++)
                sum[l] = _mm_or_si128(sum[l], _mm_and_si128(mask, _mm_load_si128((const __m128i*)table[i] + l)));
            at = _mm_add_epi32(at, step);
        }
        alignas(16) u64 out[kLanes * 2];
        for (int l = 0; l < kLanes; l++)
            _mm_store_si128((__m128i*)out + l, sum[l]);
        copy<N>(r, out);
    }

    // r = t mod m for t = hi R + t[0..N) < 2m.
    void reduce_once(u64* r, const u64* t, u64 hi) const {
        u64 d[N];
        u64 borrow = sub<N>(d, t, m_);
        // t - m is negative only when hi is 0 and the subtraction borrowed
        u64 keep = mask_of((1 ^ hi) & borrow);
        select<N>(r, keep, t, d);
    }
    // x = 2x mod m, x < m: a shift, then one subtraction kept or not
    void double_(u64* x) const {
        u64 y[N];
        u64 top = x[N - 1] >> 63;
        for (int i = N - 1; i > 0; i--)
            y[i] = (x[i] << 1) | (x[i - 1] >> 63);
        y[0] = x[0] << 1;
        reduce_once(x, y, top);
    }

    u64 m_[N];
    u64 minv_;
    bool lazy_;  // 4m <= R: products in pow may stay below 2m
    u64 rr_[N];
};

}  // namespace mont
}  // namespace cm
