// Rows of a schoolbook product, t[0..n) += a[0..n) b with the carry word
// returned, and the two steps of a square (its cross products; then the
// doubling, the squares added). Where the CPU has mulx and adcx/adox (BMI2
// and ADX) they keep two carry chains in flight at once; elsewhere they are
// plain C. Every word takes the same instructions whatever the values. The
// unrolled forms address each word at a fixed offset: an instruction more
// per few words (a pointer moved on, a count) costs a tenth of the time.
#pragma once

#include <cstdint>

namespace cm {
namespace mont {

// Whether the CPU has BMI2 and ADX (asked once).
bool has_adx();

inline uint64_t addmul_row_c(uint64_t* t, const uint64_t* a, long n, uint64_t b) {
    uint64_t c = 0;
    for (long j = 0; j < n; j++) {
        unsigned __int128 s = (unsigned __int128)a[j] * b + t[j] + c;
        t[j] = (uint64_t)s;
        c = (uint64_t)(s >> 64);
    }
    return c;
}

// One word of a row: t += a b (b in rdx) at byte offsets aoff of a and toff
// of t. Even words find the pending high word in r8 and leave theirs in
// r10, odd words the other way round; the two carries ride in CF and OF.
#define CM_ROW_EVEN(aoff, toff)                \
    "mulx " #aoff "(%[a]), %%r9, %%r10\n\t"    \
    "adox %%r8, %%r9\n\t"                      \
    "adcx " #toff "(%[t]), %%r9\n\t"           \
    "mov %%r9, " #toff "(%[t])\n\t"
#define CM_ROW_ODD(aoff, toff)                 \
    "mulx " #aoff "(%[a]), %%r9, %%r8\n\t"     \
    "adox %%r10, %%r9\n\t"                     \
    "adcx " #toff "(%[t]), %%r9\n\t"           \
    "mov %%r9, " #toff "(%[t])\n\t"
// Four words, a and t moved on.
#define CM_ROW_FOUR_WORDS                                             \
    CM_ROW_EVEN(0, 0) CM_ROW_ODD(8, 8) CM_ROW_EVEN(16, 16) CM_ROW_ODD(24, 24) \
    "lea 32(%[a]), %[a]\n\t"                                          \
    "lea 32(%[t]), %[t]\n\t"
// The carry word: the pending high word plus both carries.
#define CM_ROW_LAST_WORD                   \
    "mov $0, %%r9d\n\t"                    \
    "adox %%r9, %%r8\n\t"                  \
    "adcx %%r9, %%r8\n\t"                  \
    "mov %%r8, %[hi]\n\t"

// Only where has_adx(). The Rest words above a multiple of four first,
// unrolled, then four words a turn; the loop counts in rcx (lea and jrcxz
// leave CF and OF alone).
template <int Rest>
inline uint64_t addmul_row_adx_rest(uint64_t* t, const uint64_t* a, long blocks, uint64_t b) {
    uint64_t hi;
    asm("xor %%r8d, %%r8d\n\t"  // r8, CF and OF: 0
        ".if %c[rest] > 0\n\t" CM_ROW_EVEN(0, 0) ".endif\n\t"
        ".if %c[rest] > 1\n\t" CM_ROW_ODD(8, 8) ".endif\n\t"
        ".if %c[rest] > 2\n\t" CM_ROW_EVEN(16, 16) ".endif\n\t"
        ".if %c[rest] & 1\n\t" "mov %%r10, %%r8\n\t" ".endif\n\t"
        "lea %c[skip](%[a]), %[a]\n\t"
        "lea %c[skip](%[t]), %[t]\n\t"
        "jrcxz 2f\n"
        "1:\n\t"
        CM_ROW_FOUR_WORDS
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n"
        "2:\n\t"
        CM_ROW_LAST_WORD
        : [hi] "=r"(hi), [a] "+r"(a), [t] "+r"(t), "+c"(blocks)
        : "d"(b), [rest] "i"(Rest), [skip] "i"(8 * Rest)
        : "r8", "r9", "r10", "cc", "memory");
    return hi;
}

inline uint64_t addmul_row_adx(uint64_t* t, const uint64_t* a, long n, uint64_t b) {
    switch (n % 4) {
        case 0: return addmul_row_adx_rest<0>(t, a, n / 4, b);
        case 1: return addmul_row_adx_rest<1>(t, a, n / 4, b);
        case 2: return addmul_row_adx_rest<2>(t, a, n / 4, b);
        default: return addmul_row_adx_rest<3>(t, a, n / 4, b);
    }
}

// The same for n = 4 Blocks words, unrolled: no loop, no count, and every
// word at a fixed offset (no pointer to move on).
template <int Blocks>
inline uint64_t addmul_row_adx_fixed(uint64_t* t, const uint64_t* a, uint64_t b) {
    uint64_t hi;
    asm("xor %%r8d, %%r8d\n\t"
        ".set cm_k, 0\n\t"
        ".rept 2 * %c[blocks]\n\t"
        CM_ROW_EVEN(8*cm_k, 8*cm_k)
        CM_ROW_ODD(8*cm_k+8, 8*cm_k+8)
        ".set cm_k, cm_k + 2\n\t"
        ".endr\n\t"
        CM_ROW_LAST_WORD
        : [hi] "=r"(hi)
        : [a] "r"(a), [t] "r"(t), "d"(b), [blocks] "i"(Blocks)
        : "r8", "r9", "r10", "cc", "memory");
    return hi;
}

// The cross products of a square of N words, unrolled whole: for each i,
// x[2i+1 .. i+N) += a[i+1 .. N) a[i] and x[i+N] = the row's carry word, the
// words of x below i+N written by earlier rows (x[1..N) zero before). The
// assembler writes out every row, so no row pays for a loop or a count.
// Only where has_adx().
template <int N>
inline void cross_products_adx(uint64_t* x, const uint64_t* a) {
    asm volatile(
        ".set cm_i, 0\n\t"
        ".rept %c[n] - 1\n\t"
        "mov 8*cm_i(%[a]), %%rdx\n\t"
        "xor %%r8d, %%r8d\n\t"  // r8, CF and OF: 0
        ".set cm_j, cm_i + 1\n\t"
        ".rept %c[n] - 1 - cm_i\n\t"
        ".if (cm_j - cm_i - 1) & 1\n\t"
        CM_ROW_ODD(8*cm_j, 8*(cm_i+cm_j))
        ".else\n\t"
        CM_ROW_EVEN(8*cm_j, 8*(cm_i+cm_j))
        ".endif\n\t"
        ".set cm_j, cm_j + 1\n\t"
        ".endr\n\t"
        "mov $0, %%r9d\n\t"
        ".if (%c[n] - 1 - cm_i) & 1\n\t"
        "adox %%r9, %%r10\n\t"
        "adcx %%r9, %%r10\n\t"
        "mov %%r10, 8*(cm_i + %c[n])(%[t])\n\t"
        ".else\n\t"
        "adox %%r9, %%r8\n\t"
        "adcx %%r9, %%r8\n\t"
        "mov %%r8, 8*(cm_i + %c[n])(%[t])\n\t"
        ".endif\n\t"
        ".set cm_i, cm_i + 1\n\t"
        ".endr\n\t"
        :
        : [a] "r"(a), [t] "r"(x), [n] "i"(N)
        : "rdx", "r8", "r9", "r10", "cc", "memory");
}

// The last step of a square: x (2n words) = 2 x + a[i]^2 at word 2i, for
// all n words of a, where the sum fits 2n words. The doubling carries in
// OF, the squares' sum in CF. Only where has_adx().
inline void double_add_squares_adx(uint64_t* x, const uint64_t* a, long n) {
    // volatile: no output is read afterwards, the work is in memory
    asm volatile("xor %%r8d, %%r8d\n"  // CF and OF: 0
        "1:\n\t"
        "mov (%[a]), %%rdx\n\t"
        "mulx %%rdx, %%r9, %%r10\n\t"
        "mov (%[x]), %%r8\n\t"
        "mov 8(%[x]), %%r11\n\t"
        "adox %%r8, %%r8\n\t"
        "adox %%r11, %%r11\n\t"
        "adcx %%r9, %%r8\n\t"
        "adcx %%r10, %%r11\n\t"
        "mov %%r8, (%[x])\n\t"
        "mov %%r11, 8(%[x])\n\t"
        "lea 8(%[a]), %[a]\n\t"
        "lea 16(%[x]), %[x]\n\t"
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n"
        "2:\n\t"
        : [a] "+r"(a), [x] "+r"(x), "+c"(n)
        :
        : "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
}

// The same for n = N words, unrolled at fixed offsets.
template <int N>
inline void double_add_squares_adx_fixed(uint64_t* x, const uint64_t* a) {
    asm volatile(
        "xor %%r8d, %%r8d\n\t"
        ".set cm_k, 0\n\t"
        ".rept %c[n]\n\t"
        "mov 8*cm_k(%[a]), %%rdx\n\t"
        "mulx %%rdx, %%r9, %%r10\n\t"
        "mov 16*cm_k(%[x]), %%r8\n\t"
        "mov 16*cm_k+8(%[x]), %%r11\n\t"
        "adox %%r8, %%r8\n\t"
        "adox %%r11, %%r11\n\t"
        "adcx %%r9, %%r8\n\t"
        "adcx %%r10, %%r11\n\t"
        "mov %%r8, 16*cm_k(%[x])\n\t"
        "mov %%r11, 16*cm_k+8(%[x])\n\t"
        ".set cm_k, cm_k + 1\n\t"
        ".endr\n\t"
        :
        : [a] "r"(a), [x] "r"(x), [n] "i"(N)
        : "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
}

#undef CM_ROW_EVEN
#undef CM_ROW_ODD
#undef CM_ROW_FOUR_WORDS
#undef CM_ROW_LAST_WORD

}  // namespace mont
}  // namespace cm
