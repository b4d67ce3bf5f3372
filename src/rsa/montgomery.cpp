#include "rsa/montgomery.h"

#include "rsa/long_division.h"
#include "rsa/word_rows.h"

namespace cm {
namespace mont {

bool has_adx() {
#ifdef CM_MONT_ADX  // tests build either kind of row where they choose
    return CM_MONT_ADX;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("adx");
#endif
}

namespace {

// (c2 c1 c0) += a b, written out: built from _addcarry_u64, the carries
// pass through a byte register between the steps, which puts three more
// instructions on the chain that every column is.
[[gnu::always_inline]] inline void mac(u64& c0, u64& c1, u64& c2, u64 a, u64 b) {
    u64 hi;
    asm("mulq %[b]\n\t"
        "addq %%rax, %[c0]\n\t"
        "adcq %%rdx, %[c1]\n\t"
        "adcq $0, %[c2]"
        : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), "+a"(a), "=d"(hi)
        : [b] "r"(b)
        : "cc");
}

// t (N words, plus the returned top word) = a b / R mod m, below 2m, for
// the few words of the 256-bit keys' moduli, unrolled. Product scanning:
// each column of a b + u m gathers in three words, u[i] chosen so the low
// word of column i is zero.
template <int N>
[[gnu::always_inline]] inline u64 redc_small(u64* t, const u64* a, const u64* b, const u64* m, u64 minv) {
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

// x (2n words) = 2 x + a[i]^2 at word 2i, where the sum fits 2n words: the
// last step of a square, in plain C.
inline void double_add_squares(u64* x, const u64* a, int n) {
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
}

// r = a b / R mod m for any n words, row by row: the product's 2n words
// (for a square, each cross product a[i] a[j] made once and doubled), their
// reduction, one row of u m per word, then m taken off where the result
// reached it.
// Rows: 0 the portable ones, 1 mulx and adx, 4 Blocks words: those unrolled
// for the full rows (and for a square's cross products, up to 32 words), and
// n known when compiling.
template <int Rows, int Blocks = 0>
void redc_rows(u64* r, const u64* a, const u64* b, const u64* m, u64 minv, int words) {
    const int n = Blocks ? 4 * Blocks : words;
    auto some = Rows ? addmul_row_adx : addmul_row_c;
    auto row = [&](u64* x, const u64* y, long count, u64 z) {
        return Blocks ? addmul_row_adx_fixed<Blocks>(x, y, z) : some(x, y, count, z);
    };
    u64 x[2 * kMaxWords];
    // what no row writes before adding to it (unrolled where n is known:
    // a string instruction costs more than these few stores)
#pragma GCC unroll 32
    for (int k = 0; k < n; k++)
        x[k] = 0;
    x[2 * n - 1] = 0;
    if (a != b) {
        for (int i = 0; i < n; i++)
            x[i + n] = row(x + i, a, n, b[i]);
    } else {
        if constexpr (Blocks > 0 && Blocks <= 8) {  // beyond, the code outgrows the gain
            cross_products_adx<4 * Blocks>(x, a);
            double_add_squares_adx_fixed<4 * Blocks>(x, a);
        } else {
            for (int i = 0; i < n - 1; i++)
                x[i + n] = some(x + 2 * i + 1, a + i + 1, n - 1 - i, a[i]);
            Rows ? double_add_squares_adx(x, a, n) : double_add_squares(x, a, n);
        }
    }
    u64 top = 0;  // a b + u m < 2 m R: one bit above the words
    for (int i = 0; i < n; i++) {
        u64 c = row(x + i, m, n, x[i] * minv);
        u128 s = (u128)x[i + n] + c + top;
        x[i + n] = (u64)s;
        top = (u64)(s >> 64);
    }
    u64 d[kMaxWords];
    unsigned char borrow = 0;
#pragma GCC unroll 32
    for (int j = 0; j < n; j++) {
        unsigned long long w;
        borrow = _subborrow_u64(borrow, x[n + j], m[j], &w);
        d[j] = w;
    }
    // x - m is negative only when top is 0 and the subtraction borrowed
    select(r, mask_of((1 ^ top) & borrow), x + n, d, n);
}

const bool kAdx = has_adx();

void redc_any(u64* r, const u64* a, const u64* b, const u64* m, u64 minv, int n) {
    if (!kAdx)
        return redc_rows<0>(r, a, b, m, minv, n);
    switch (n) {  // the halves of 1024- to 4096-bit keys, and n of the largest
        case 8: return redc_rows<1, 2>(r, a, b, m, minv, n);
        case 16: return redc_rows<1, 4>(r, a, b, m, minv, n);
        case 24: return redc_rows<1, 6>(r, a, b, m, minv, n);
        case 32: return redc_rows<1, 8>(r, a, b, m, minv, n);
        case 64: return redc_rows<1, 16>(r, a, b, m, minv, n);
        default: return redc_rows<1>(r, a, b, m, minv, n);
    }
}

// Window bits of the secret power: wider for longer exponents, where the
// table's cost is spread over more squarings.
constexpr int window_bits(int words) { return words > 4 ? 5 : 4; }
constexpr int kMaxEntries = 32;
constexpr int kSmallWords = 4;  // the moduli with a Kernel of their own

// r = table[index] of `entries` entries `stride` words apart (a multiple
// of four): every entry is read and masked, the index compared in all lanes
// at once. 256-bit lanes where the CPU has AVX2, else 128-bit ones; Lanes
// of them where that is known when compiling (the small moduli's tables,
// whose picks then unroll where they are made).
template <int Lanes = 0>
[[gnu::always_inline]] inline void pick_entry_sse2(u64* r, const u64* table, int stride, int entries, u64 index) {
    const __m128i want = _mm_set1_epi32((int)index);
    __m128i masks[kMaxEntries];
    for (int i = 0; i < entries; i++)
        masks[i] = _mm_cmpeq_epi32(_mm_set1_epi32(i), want);
    for (int l = 0; l < (Lanes ? 2 * Lanes : stride); l += 2) {
        __m128i sum = _mm_setzero_si128();
        for (int i = 0; i < entries; i++)
            sum = _mm_or_si128(sum, _mm_and_si128(masks[i], _mm_load_si128((const __m128i*)(table + i * stride + l))));
        _mm_storeu_si128((__m128i*)(r + l), sum);
    }
}

[[gnu::target("avx2")]] void pick_entry_avx2(u64* r, const u64* table, int stride, int entries, u64 index) {
    const __m256i want = _mm256_set1_epi32((int)index);
    __m256i masks[kMaxEntries];
    for (int i = 0; i < entries; i++)
        masks[i] = _mm256_cmpeq_epi32(_mm256_set1_epi32(i), want);
    for (int l = 0; l < stride; l += 4) {
        __m256i sum = _mm256_setzero_si256();
        for (int i = 0; i < entries; i++)
            sum = _mm256_or_si256(sum, _mm256_and_si256(masks[i], _mm256_load_si256((const __m256i*)(table + i * stride + l))));
        _mm256_storeu_si256((__m256i*)(r + l), sum);
    }
}

// AVX2 beside the rows' extensions: tests that choose the portable rows get
// the 128-bit picks too.
const bool kAvx2 = kAdx && __builtin_cpu_supports("avx2");

void pick_entry(u64* r, const u64* table, int stride, int entries, u64 index) {
    (kAvx2 ? pick_entry_avx2 : pick_entry_sse2<>)(r, table, stride, entries, index);
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

// The work of a Modulus for a word count known when compiling (N, the
// moduli of 256-bit keys, whose loops then unroll) or not (N = 0).
template <int N>
struct Modulus::Kernel {
    const Modulus& mod;
    int n() const { return N ? N : mod.n_; }

    void reduce_once(u64* r, const u64* t, u64 hi) const {
        u64 d[kMaxWords];
        u64 borrow = sub(d, t, mod.m_, n());
        // t - m is negative only when hi is 0 and the subtraction borrowed
        u64 keep = mask_of((1 ^ hi) & borrow);
        select(r, keep, t, d, n());
    }
    void mul(u64* r, const u64* a, const u64* b) const {
        if (!N)
            return redc_any(r, a, b, mod.m_, mod.minv_, n());
        u64 t[kMaxWords];
        u64 hi = redc_small<N ? N : 1>(t, a, b, mod.m_, mod.minv_);
        reduce_once(r, t, hi);
    }
    // r = a b / R mod m, below R but not always below m, for a, b < R: the
    // products inside the small moduli's powers, where m is taken off when
    // the sum reached R, not after a comparison with m. (a b + u m) / R <
    // R + m, so one subtraction brings it below R.
    void mul_in_pow(u64* r, const u64* a, const u64* b) const {
        if (!N)
            return mul(r, a, b);
        u64 t[kMaxWords], off[kMaxWords];
        u64 hi = redc_small<N ? N : 1>(t, a, b, mod.m_, mod.minv_);
        for (int i = 0; i < N; i++)
            off[i] = mod.m_[i] & mask_of(hi);
        sub(r, t, off, N);
    }
    void pick(u64* r, const u64* table, int stride, u64 index) const {
        if (N)
            pick_entry_sse2<(N + 1) / 2>(r, table, stride, 1 << window_bits(N), index);
        else
            pick_entry(r, table, stride, 1 << window_bits(n()), index);
    }
    void from(u64* r, const u64* a) const {
        u64 one[kMaxWords];
        for (int i = 0; i < n(); i++)
            one[i] = i == 0;
        mul(r, a, one);
    }

    // R^2 mod m for a secret m: 2^(64(n - 1)), below m, doubled to 2^16 R
    // mod m (the Montgomery form of 2^16), then raised to the power 4n: the
    // word count alone sets the steps.
    void square_of_r(u64* rr) const {
        const int n = this->n();
        const int start = 64 * (n - 1);
        u64 x[kMaxWords];
        for (int i = 0; i < n; i++)
            x[i] = 0;
        x[start / 64] = (u64)1 << (start % 64);
        for (int i = start; i < 64 * n + 16; i++) {
            u64 y[kMaxWords];
            u64 top = x[n - 1] >> 63;
            for (int j = n - 1; j > 0; j--)
                y[j] = (x[j] << 1) | (x[j - 1] >> 63);
            y[0] = x[0] << 1;
            reduce_once(x, y, top);
        }
        u64 base[kMaxWords];
        copy(base, x, n);
        const int k = 4 * n;
        for (int bit = 30 - __builtin_clz((unsigned)k); bit >= 0; bit--) {
            mul(x, x, x);
            if ((k >> bit) & 1)
                mul(x, x, base);
        }
        copy(rr, x, n);
    }

    // The table of a power: entry i, base^i in Montgomery form (below R),
    // at i stride, stride a whole number of 256-bit lanes.
    void fill_table(u64* table, int stride, const u64* base) const {
        const int n = this->n(), entries = 1 << window_bits(n);
        u64 one[kMaxWords];
        for (int i = 0; i < n; i++)
            one[i] = i == 0;
        for (int i = 0; i < entries; i++)  // the lanes' padding words too
            for (int j = n; j < stride; j++)
                table[i * stride + j] = 0;
        mul(table, one, mod.rr_);
        mul(table + stride, base, mod.rr_);
        for (int i = 2; i < entries; i++) {
            if (i % 2 == 0)
                mul_in_pow(table + i * stride, table + i / 2 * stride, table + i / 2 * stride);
            else
                mul_in_pow(table + i * stride, table + (i - 1) * stride, table + stride);
        }
    }

    void pow(u64* r, const u64* base, const u64* exp, int bits) const {
        const int n = this->n(), k = window_bits(n);
        const int stride = (n + 3) & ~3;
        const int exp_words = (bits + 63) / 64;
        alignas(32) u64 table[kMaxEntries * kMaxWords];
        fill_table(table, stride, base);
        const int windows = bits > 0 ? (bits + k - 1) / k : 1;
        u64 acc[kMaxWords], entry[kMaxWords];
        // the top window's entry starts the product (1 squared is 1)
        pick(acc, table, stride, window_of(exp, exp_words, windows - 1, k));
        for (int w = windows - 2; w >= 0; w--) {
            for (int s = 0; s < k; s++)
                mul_in_pow(acc, acc, acc);
            pick(entry, table, stride, window_of(exp, exp_words, w, k));
            mul_in_pow(acc, acc, entry);
        }
        from(r, acc);  // acc < R: (acc + u m) / R is at most m, and from() reduces that
    }

    void pow_public(u64* r, const u64* base, const u64* exp, int words) const {
        u64 b[kMaxWords], acc[kMaxWords], one[kMaxWords];
        for (int i = 0; i < n(); i++)
            one[i] = i == 0;
        int top = 64 * words - 1;
        while (top >= 0 && !((exp[top / 64] >> (top % 64)) & 1))
            top--;
        if (top < 0) {  // base^0
            reduce_once(r, one, 0);
            return;
        }
        mul(b, base, mod.rr_);
        copy(acc, b, n());  // the top bit's
        for (int i = top - 1; i >= 0; i--) {
            mul_in_pow(acc, acc, acc);
            if ((exp[i / 64] >> (i % 64)) & 1)
                mul_in_pow(acc, acc, b);
        }
        from(r, acc);  // as in pow
    }
};

// pow for two small moduli at once, m1 of N1 >= N2 words, their windows
// ending together: each product of one followed by the same product of the
// other, which has no wait on the first's carries. Where they run together
// and where alone follows the word counts only.
template <int N1, int N2>
void Modulus::pow_pair_of(u64* r1, const Modulus& m1, const u64* b1, const u64* e1, u64* r2, const Modulus& m2,
                          const u64* b2, const u64* e2) {
    const Kernel<N1> k1{m1};
    const Kernel<N2> k2{m2};
    constexpr int k = window_bits(kSmallWords), stride = kSmallWords, w1 = 64 * N1 / k, w2 = 64 * N2 / k;
    alignas(32) u64 t1[(1 << k) * stride], t2[(1 << k) * stride];
    k1.fill_table(t1, stride, b1);
    k2.fill_table(t2, stride, b2);
    u64 a1[kMaxWords], a2[kMaxWords], x1[kMaxWords], x2[kMaxWords];
    // the top windows' entries start the products (1 squared is 1); the
    // other's top window comes a word's windows later where N2 < N1
    k1.pick(a1, t1, stride, window_of(e1, N1, w1 - 1, k));
    if (N2 == N1)
        k2.pick(a2, t2, stride, window_of(e2, N2, w2 - 1, k));
    for (int w = w1 - 2; w >= 0; w--) {
        if (w == w2 - 1)
            k2.pick(a2, t2, stride, window_of(e2, N2, w, k));
        const bool both = w < w2 - 1;
        for (int s = 0; s < k; s++) {
            k1.mul_in_pow(a1, a1, a1);
            if (both)
                k2.mul_in_pow(a2, a2, a2);
        }
        k1.pick(x1, t1, stride, window_of(e1, N1, w, k));
        k1.mul_in_pow(a1, a1, x1);
        if (both) {
            k2.pick(x2, t2, stride, window_of(e2, N2, w, k));
            k2.mul_in_pow(a2, a2, x2);
        }
    }
    k1.from(r1, a1);  // as in pow
    k2.from(r2, a2);
}

void Modulus::pow_pair(u64* r1, const Modulus& m1, const u64* b1, const u64* e1, u64* r2, const Modulus& m2,
                       const u64* b2, const u64* e2) {
    if (m1.n_ < m2.n_)  // the longer first
        return pow_pair(r2, m2, b2, e2, r1, m1, b1, e1);
    // the small moduli a word apart at most: the halves of keys of up to
    // 512 bits, whose p and q are of nearly one size
    switch (8 * m1.n_ + m2.n_) {
        case 8 * 1 + 1: return pow_pair_of<1, 1>(r1, m1, b1, e1, r2, m2, b2, e2);
        case 8 * 2 + 1: return pow_pair_of<2, 1>(r1, m1, b1, e1, r2, m2, b2, e2);
        case 8 * 2 + 2: return pow_pair_of<2, 2>(r1, m1, b1, e1, r2, m2, b2, e2);
        case 8 * 3 + 2: return pow_pair_of<3, 2>(r1, m1, b1, e1, r2, m2, b2, e2);
        case 8 * 3 + 3: return pow_pair_of<3, 3>(r1, m1, b1, e1, r2, m2, b2, e2);
        case 8 * 4 + 3: return pow_pair_of<4, 3>(r1, m1, b1, e1, r2, m2, b2, e2);
        case 8 * 4 + 4: return pow_pair_of<4, 4>(r1, m1, b1, e1, r2, m2, b2, e2);
        default:  // rows: nothing to fill while they work
            m1.pow(r1, b1, e1, 64 * m1.n_);
            m2.pow(r2, b2, e2, 64 * m2.n_);
    }
}

// Runs `f` on the kernel for this modulus's word count.
#define CM_MONT_KERNEL(f)                      \
    switch (n_) {                              \
        case 1: Kernel<1>{*this}.f; break;     \
        case 2: Kernel<2>{*this}.f; break;     \
        case 3: Kernel<3>{*this}.f; break;     \
        case 4: Kernel<4>{*this}.f; break;     \
        default: Kernel<0>{*this}.f; break;    \
    }

void Modulus::set(const u64* m) {
    copy(m_, m, n_);
    // -m^-1 mod 2^64 by Newton's iteration: m*m = 1 mod 8 gives 3 bits,
    // each step doubles them.
    u64 inv = m[0];
    for (int i = 0; i < 5; i++)
        inv *= 2 - m[0] * inv;
    minv_ = (u64)0 - inv;
}

Modulus::Modulus(const u64* m, int words, bool is_public) : n_(words) {
    set(m);
    if (is_public)
        square_of_r_public(rr_, m_, n_);
    else
        CM_MONT_KERNEL(square_of_r(rr_))
}

Modulus::Modulus(const u64* m, int words, const Modulus& multiple) : n_(words) {
    set(m);
    const int big = multiple.n_;
    if (big <= n_) {  // no word to divide off
        CM_MONT_KERNEL(square_of_r(rr_))
        return;
    }
    // The multiple's R^2, 2^(128 big) mod multiple, is that mod m too;
    // 2 (big - n) Montgomery steps, each x = (x + u m) / 2^64 with u making
    // the low word zero, divide it by 2^(128 (big - n)) mod m: 2^(128 n) mod
    // m. x falls below 2^(64 (2n - big)) + m <= 2m, and is reduced once.
    u64 x[kMaxWords + 1];
    copy(x, multiple.rr_, big);
    x[big] = 0;
    for (int step = 0; step < 2 * (big - n_); step++) {
        const u64 u = x[0] * minv_;
        u64 carry = 0;
        for (int j = 0; j <= big; j++) {
            u128 s = (u128)x[j] + carry + (j < n_ ? (u128)u * m_[j] : 0);
            x[j] = (u64)s;
            carry = (u64)(s >> 64);
        }
        for (int j = 0; j < big; j++)  // the low word is zero now
            x[j] = x[j + 1];
        x[big] = 0;
    }
    reduce_once(rr_, x, x[n_]);
}

void Modulus::mul(u64* r, const u64* a, const u64* b) const { CM_MONT_KERNEL(mul(r, a, b)) }
void Modulus::reduce_once(u64* r, const u64* t, u64 hi) const { CM_MONT_KERNEL(reduce_once(r, t, hi)) }
void Modulus::pow(u64* r, const u64* base, const u64* exp, int bits) const { CM_MONT_KERNEL(pow(r, base, exp, bits)) }
void Modulus::pow_public(u64* r, const u64* base, const u64* exp, int words) const {
    CM_MONT_KERNEL(pow_public(r, base, exp, words))
}

#undef CM_MONT_KERNEL

}  // namespace mont
}  // namespace cm
