// Test driver for src/rsa/montgomery.h: reads lines "<op> <words> <m> <a> <b>"
// (hexadecimal numbers) and prints one hexadecimal result per line.
//   mul: a b mod m    pow: a^b mod m    public: a^b mod m (public exponent)
//   reduce: a mod m
#include "rsa/montgomery.h"

#include <cstdio>
#include <cstring>
#include <string>

using cm::mont::u64;

static void parse(const char* hex, u64* out, int words) {
    for (int i = 0; i < words; i++)
        out[i] = 0;
    size_t len = std::strlen(hex);
    for (size_t k = 0; k < len; k++) {
        char ch = hex[len - 1 - k];
        u64 v = ch <= '9' ? ch - '0' : (ch | 32) - 'a' + 10;
        out[k / 16] |= v << (4 * (k % 16));
    }
}

template <int N>
static void run(const char* op, const u64* m, const u64* a, const u64* b, u64* r) {
    cm::mont::Modulus<N> mod(m);
    if (!std::strcmp(op, "mul"))
        mod.mul_plain(r, a, b);
    else if (!std::strcmp(op, "pow"))
        mod.pow(r, a, b, 64 * N);
    else if (!std::strcmp(op, "public"))
        mod.pow_public(r, a, b, N);
    else
        mod.reduce(r, a);
}

int main() {
    char op[16], hm[80], ha[80], hb[80];
    int words;
    while (std::scanf("%15s %d %79s %79s %79s", op, &words, hm, ha, hb) == 5) {
        u64 m[4], a[4], b[4], r[4] = {};
        parse(hm, m, words);
        parse(ha, a, words);
        parse(hb, b, words);
        switch (words) {
            case 1: run<1>(op, m, a, b, r); break;
            case 2: run<2>(op, m, a, b, r); break;
            case 3: run<3>(op, m, a, b, r); break;
            case 4: run<4>(op, m, a, b, r); break;
        }
        std::string out;
        char buf[20];
        for (int i = words - 1; i >= 0; i--) {
            std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)r[i]);
            out += buf;
        }
        std::printf("%s\n", out.c_str());
    }
}
