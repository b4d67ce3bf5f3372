// Test driver for src/rsa/montgomery.h: reads lines "<op> <words> <m> <a> <b>"
// (hexadecimal numbers) and prints one hexadecimal result per line.
//   mul: a b mod m    pow: a^b mod m    public: a^b mod m (public exponent)
//   reduce: a mod m   square: a a mod m
#include "rsa/montgomery.h"

#include <cstring>
#include <iostream>
#include <string>

using cm::mont::kMaxWords;
using cm::mont::u64;

static void parse(const std::string& hex, u64* out) {
    for (int i = 0; i < kMaxWords; i++)
        out[i] = 0;
    size_t len = hex.size();
    for (size_t k = 0; k < len && k < 16 * (size_t)kMaxWords; k++) {
        char ch = hex[len - 1 - k];
        u64 v = ch <= '9' ? ch - '0' : (ch | 32) - 'a' + 10;
        out[k / 16] |= v << (4 * (k % 16));
    }
}

int main() {
    std::ios::sync_with_stdio(false);
    std::string op, hm, ha, hb;
    int words;
    static u64 m[kMaxWords], a[kMaxWords], b[kMaxWords], r[kMaxWords];
    while (std::cin >> op >> words >> hm >> ha >> hb) {
        parse(hm, m);
        parse(ha, a);
        parse(hb, b);
        cm::mont::Modulus mod(m, words);
        if (op == "mul") {
            mod.mul_plain(r, a, b);
        } else if (op == "square") {
            u64 t[kMaxWords];
            mod.to(t, a);
            mod.square(t, t);
            mod.from(r, t);
        } else if (op == "pow") {
            mod.pow(r, a, b, 64 * words);
        } else if (op == "public") {
            mod.pow_public(r, a, b, words);
        } else {
            mod.reduce(r, a);
        }
        char buf[20];
        std::string out;
        for (int i = words - 1; i >= 0; i--) {
            std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)r[i]);
            out += buf;
        }
        std::cout << out << '\n';
    }
}
