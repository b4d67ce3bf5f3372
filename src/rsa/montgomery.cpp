#include "rsa/montgomery.h"

namespace cm {
namespace mont {

namespace {

// (c2 c1 c0) += a b
[[gnu::always_inline]] inline void mac(u64& c0, u64& c1, u64& c2, u64 a, u64 b) {
    u128 p = (u128)a * b;
    unsigned long long s0, s1, s2;
    unsigned char k = _addcarry_u64(0, c0, (u64)p, &s0);
    k = _addcarry_u64(k, c1, (u64)(p >> 64), &s1);
    _addcarry_u64(k, c2, 0, &s2);
    c0 = s0;
    c1 = s1;
    c2 = s2;
}

// t (N words, plus the returned top word) = a b / R mod m, below 2m, for
// the few words of the 256-bit keys' moduli, unrolled. Product scanning:
// each column of a b + u m gathers in three words, u[i] chosen so the low
// word of column i is zero.
template <int N>
u64 redc_small(u64* t, const u64* a, const u64* b, const u64* m, u64 minv) {
    u64 u[N];
    u64 c0 = 0, c1 = 0, c2 = 0;
#pragma GCC unroll 8
    for (int i = 0; i < N; i++) {
#pragma GCC unroll 8
        for (int j = 0; j < i; j++) {
            mac(c0, c1, c2, a[j], b[i - j]);
            mac(c0, c1, c2, u[j], m[i - j]);
        }
        mac(c0, c1, c2, a[i], b[0]);
        u[i] = c0 * minv;
        mac(c0, c1, c2, u[i], m[0]);
        c0 = c1;
        c1 = c2;
        c2 = 0;
    }
#pragma GCC unroll 8
    for (int i = N; i < 2 * N; i++) {
#pragma GCC unroll 8
        for (int j = i - N + 1; j < N; j++) {
            mac(c0, c1, c2, a[j], b[i - j]);
            mac(c0, c1, c2, u[j], m[i - j]);
        }
        t[i - N] = c0;
        c0 = c1;
        c1 = c2;
        c2 = 0;
    }
    return c0;
}

// The same for any n words: per word of b, a b[i] and u m added in one
// pass, the two carries apart, the sum shifted down one word.
u64 redc_any(u64* t, const u64* a, const u64* b, const u64* m, u64 minv, int n) {
    u64 acc[kMaxWords + 1];
    for (int j = 0; j <= n; j++)
        acc[j] = 0;
    for (int i = 0; i < n; i++) {
        const u64 bi = b[i];
        u128 s = (u128)a[0] * bi + acc[0];
        u64 c1 = (u64)(s >> 64);
        const u64 u = (u64)s * minv;
        u128 s2 = (u128)u * m[0] + (u64)s;  // low word zero
        u64 c2 = (u64)(s2 >> 64);
        for (int j = 1; j < n; j++) {
            s = (u128)a[j] * bi + acc[j] + c1;
            c1 = (u64)(s >> 64);
            s2 = (u128)u * m[j] + (u64)s + c2;
            c2 = (u64)(s2 >> 64);
            acc[j - 1] = (u64)s2;
        }
        u128 top = (u128)acc[n] + c1 + c2;
        acc[n - 1] = (u64)top;
        acc[n] = (u64)(top >> 64);
    }
    for (int j = 0; j < n; j++)
        t[j] = acc[j];
    return acc[n];
}

// a a / R as redc_any, with each cross product a[i] a[j] made once and
// doubled: the square's 2n words, then their reduction word by word.
u64 redc_square_any(u64* t, const u64* a, const u64* m, u64 minv, int n) {
    u64 x[2 * kMaxWords];
    for (int k = 0; k < 2 * n; k++)
        x[k] = 0;
    for (int i = 0; i < n - 1; i++) {
        const u64 ai = a[i];
        u64 c = 0;
        for (int j = i + 1; j < n; j++) {
            u128 s = (u128)ai * a[j] + x[i + j] + c;
            x[i + j] = (u64)s;
            c = (u64)(s >> 64);
        }
        x[i + n] = c;
    }
    u64 shifted_out = 0;
    unsigned char carry = 0;
    for (int i = 0; i < n; i++) {
        u128 sq = (u128)a[i] * a[i];
        u64 lo = x[2 * i], hi = x[2 * i + 1];
        unsigned long long s0, s1;
        carry = _addcarry_u64(carry, (lo << 1) | shifted_out, (u64)sq, &s0);
        carry = _addcarry_u64(carry, (hi << 1) | (lo >> 63), (u64)(sq >> 64), &s1);
        shifted_out = hi >> 63;
        x[2 * i] = s0;
        x[2 * i + 1] = s1;
    }
    u64 top = 0;  // a a + u m < 2 m R: one bit above the words
    for (int i = 0; i < n; i++) {
        const u64 u = x[i] * minv;
        u64 c = 0;
        for (int j = 0; j < n; j++) {
            u128 s = (u128)u * m[j] + x[i + j] + c;
            x[i + j] = (u64)s;
            c = (u64)(s >> 64);
        }
        u128 s = (u128)x[i + n] + c + top;
        x[i + n] = (u64)s;
        top = (u64)(s >> 64);
    }
    for (int j = 0; j < n; j++)
        t[j] = x[n + j];
    return top;
}

// Window bits of the secret power: wider for longer exponents, where the
// table's cost is spread over more squarings.
int window_bits(int words) { return words > 4 ? 5 : 4; }
constexpr int kMaxEntries = 32;

// r = table[index] of `entries` entries `stride` words apart: every entry
// is read and masked, the index compared in all lanes at once.
void pick_entry(u64* r, const u64* table, int stride, int entries, u64 index) {
    const __m128i want = _mm_set1_epi32((int)index);
    __m128i masks[kMaxEntries];
    for (int i = 0; i < entries; i++)
        masks[i] = _mm_cmpeq_epi32(_mm_set1_epi32(i), want);
    for (int l = 0; l < stride; l += 2) {
        __m128i sum = _mm_setzero_si128();
        for (int i = 0; i < entries; i++)
            sum = _mm_or_si128(sum, _mm_and_si128(masks[i], _mm_load_si128((const __m128i*)(table + i * stride + l))));
        _mm_storeu_si128((__m128i*)(r + l), sum);
    }
}

// bits [w k, w k + k) of exp, of n words
u64 window_of(const u64* exp, int n, int w, int k) {
    int bit = w * k, word = bit / 64, shift = bit % 64;
    u64 v = exp[word] >> shift;
    if (shift + k > 64 && word + 1 < n)
        v |= exp[word + 1] << (64 - shift);
    return v & (((u64)1 << k) - 1);
}

}  // namespace

Modulus::Modulus(const u64* m, int words) : n_(words) {
    copy(m_, m, n_);
    // -m^-1 mod 2^64 by Newton's iteration: m*m = 1 mod 8 gives 3 bits,
    // each step doubles them.
    u64 inv = m[0];
    for (int i = 0; i < 5; i++)
        inv *= 2 - m[0] * inv;
    minv_ = (u64)0 - inv;
    // R^2 mod m: 2^(64(n-1)), below m, doubled to 2^16 R mod m (the
    // Montgomery form of 2^16), then raised to the power 4n. The word count
    // alone sets the steps.
    u64 x[kMaxWords];
    zero(x);
    x[n_ - 1] = 1;
    for (int i = 0; i < 64 + 16; i++) {
        u64 y[kMaxWords];
        u64 top = x[n_ - 1] >> 63;
        for (int j = n_ - 1; j > 0; j--)
            y[j] = (x[j] << 1) | (x[j - 1] >> 63);
        y[0] = x[0] << 1;
        reduce_once(x, y, top);
    }
    u64 base[kMaxWords];
    copy(base, x, n_);
    const int k = 4 * n_;
    for (int bit = 30 - __builtin_clz((unsigned)k); bit >= 0; bit--) {
        mul(x, x, x);
        if ((k >> bit) & 1)
            mul(x, x, base);
    }
    copy(rr_, x, n_);
}

void Modulus::mul(u64* r, const u64* a, const u64* b) const {
    u64 t[kMaxWords];
    u64 hi;
    switch (n_) {
        case 1: hi = redc_small<1>(t, a, b, m_, minv_); break;
        case 2: hi = redc_small<2>(t, a, b, m_, minv_); break;
        case 3: hi = redc_small<3>(t, a, b, m_, minv_); break;
        case 4: hi = redc_small<4>(t, a, b, m_, minv_); break;
        default: hi = redc_any(t, a, b, m_, minv_, n_); break;
    }
    reduce_once(r, t, hi);
}

void Modulus::square(u64* r, const u64* a) const {
    if (n_ <= 4) {
        mul(r, a, a);
        return;
    }
    u64 t[kMaxWords];
    u64 hi = redc_square_any(t, a, m_, minv_, n_);
    reduce_once(r, t, hi);
}

void Modulus::pow(u64* r, const u64* base, const u64* exp, int bits) const {
    const int k = window_bits(n_), entries = 1 << k;
    const int stride = (n_ + 1) & ~1;  // whole 128-bit lanes
    alignas(16) u64 table[kMaxEntries * kMaxWords];
    u64 one[kMaxWords];
    zero(one);
    one[0] = 1;
    for (int i = 0; i < entries; i++)  // the lanes' padding word too
        table[i * stride + stride - 1] = 0;
    to(table, one);
    to(table + stride, base);
    for (int i = 2; i < entries; i++) {
        if (i % 2 == 0)
            square(table + i * stride, table + i / 2 * stride);
        else
            mul(table + i * stride, table + (i - 1) * stride, table + stride);
    }
    const int windows = bits > 0 ? (bits + k - 1) / k : 1;
    u64 acc[kMaxWords], pick[kMaxWords];
    // the top window's entry starts the product (1 squared is 1)
    pick_entry(acc, table, stride, entries, window_of(exp, (bits + 63) / 64, windows - 1, k));
    for (int w = windows - 2; w >= 0; w--) {
        for (int s = 0; s < k; s++)
            square(acc, acc);
        pick_entry(pick, table, stride, entries, window_of(exp, (bits + 63) / 64, w, k));
        mul(acc, acc, pick);
    }
    from(r, acc);
}

void Modulus::pow_public(u64* r, const u64* base, const u64* exp, int words) const {
    u64 b[kMaxWords], acc[kMaxWords], one[kMaxWords];
    zero(one);
    one[0] = 1;
    to(b, base);
    to(acc, one);
    int top = 64 * words - 1;
    while (top >= 0 && !((exp[top / 64] >> (top % 64)) & 1))
        top--;
    for (int i = top; i >= 0; i--) {
        square(acc, acc);
        if ((exp[i / 64] >> (i % 64)) & 1)
            mul(acc, acc, b);
    }
    from(r, acc);
}

}  // namespace mont
}  // namespace cm
