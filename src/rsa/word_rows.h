// One row of a schoolbook product: t[0..n) += a[0..n) b, the carry word
// returned. Where the CPU has mulx and adcx/adox (BMI2 and ADX), the row
// keeps two carry chains in flight at once; elsewhere it is plain C. Every
// word takes the same instructions whatever the values.
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

// Four words of a row: t[0..4) += a[0..4) b (b in rdx), the high word
// pending in r8 and the two carries in CF and OF; a and t moved on.
#define CM_ROW_FOUR_WORDS                  \
    "mulx (%[a]), %%r9, %%r10\n\t"         \
    "adox %%r8, %%r9\n\t"                  \
    "adcx (%[t]), %%r9\n\t"                \
    "mov %%r9, (%[t])\n\t"                 \
    "mulx 8(%[a]), %%r9, %%r8\n\t"         \
    "adox %%r10, %%r9\n\t"                 \
    "adcx 8(%[t]), %%r9\n\t"               \
    "mov %%r9, 8(%[t])\n\t"                \
    "mulx 16(%[a]), %%r9, %%r10\n\t"       \
    "adox %%r8, %%r9\n\t"                  \
    "adcx 16(%[t]), %%r9\n\t"              \
    "mov %%r9, 16(%[t])\n\t"               \
    "mulx 24(%[a]), %%r9, %%r8\n\t"        \
    "adox %%r10, %%r9\n\t"                 \
    "adcx 24(%[t]), %%r9\n\t"              \
    "mov %%r9, 24(%[t])\n\t"               \
    "lea 32(%[a]), %[a]\n\t"               \
    "lea 32(%[t]), %[t]\n\t"
// The carry word: the pending high word plus both carries.
#define CM_ROW_LAST_WORD                   \
    "mov $0, %%r9d\n\t"                    \
    "adox %%r9, %%r8\n\t"                  \
    "adcx %%r9, %%r8\n\t"                  \
    "mov %%r8, %[hi]\n\t"

// Only where has_adx(). Four words a turn, then one at a time; the loop
// counts in rcx (lea and jrcxz leave CF and OF alone).
inline uint64_t addmul_row_adx(uint64_t* t, const uint64_t* a, long n, uint64_t b) {
    uint64_t hi;
    long blocks = n / 4, rest = n % 4;
    asm("xor %%r8d, %%r8d\n\t"  // r8, CF and OF: 0
        "jrcxz 2f\n"
        "1:\n\t"
        CM_ROW_FOUR_WORDS
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n"
        "2:\n\t"
        "mov %[rest], %%rcx\n\t"
        "jrcxz 4f\n"
        "3:\n\t"
        "mulx (%[a]), %%r9, %%r10\n\t"
        "adox %%r8, %%r9\n\t"
        "adcx (%[t]), %%r9\n\t"
        "mov %%r9, (%[t])\n\t"
        "mov %%r10, %%r8\n\t"
        "lea 8(%[a]), %[a]\n\t"
        "lea 8(%[t]), %[t]\n\t"
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 4f\n\t"
        "jmp 3b\n"
        "4:\n\t"
        CM_ROW_LAST_WORD
        : [hi] "=r"(hi), [a] "+r"(a), [t] "+r"(t), "+c"(blocks)
        : "d"(b), [rest] "r"(rest)
        : "r8", "r9", "r10", "cc", "memory");
    return hi;
}

// The same for n = 4 Blocks words, unrolled: no loop, no count.
template <int Blocks>
inline uint64_t addmul_row_adx_fixed(uint64_t* t, const uint64_t* a, uint64_t b) {
    uint64_t hi;
    asm("xor %%r8d, %%r8d\n\t"
        ".rept %c[blocks]\n\t"
        CM_ROW_FOUR_WORDS
        ".endr\n\t"
        CM_ROW_LAST_WORD
        : [hi] "=r"(hi), [a] "+r"(a), [t] "+r"(t)
        : "d"(b), [blocks] "i"(Blocks)
        : "r8", "r9", "r10", "cc", "memory");
    return hi;
}

#undef CM_ROW_FOUR_WORDS
#undef CM_ROW_LAST_WORD

}  // namespace mont
}  // namespace cm
