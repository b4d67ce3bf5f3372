// Test driver for src/rsa/montgomery.h: reads lines "<op> <words> <m> <a> <b>"
// (hexadecimal numbers) and prints one hexadecimal result per line.
//   mul: a b mod m    pow: a^b mod m    public: a^b mod m (public exponent and modulus)
//   reduce: a mod m   square: a a mod m
//   factor: a a mod m, m's R^2 from that of m b (a public multiple)
//   pair, pair_short: a^b mod m beside the power, run with it, of a second
//   modulus: m with its low word's bit 1 flipped, or m's low words - 1 words
//   with the top bit set (a and b cut to those words); both results printed
#include "driver_words.h"

#include <iostream>
#include <string>

using test_words::kMaxWords;
using test_words::parse;
using test_words::u64;

int main() {
    std::ios::sync_with_stdio(false);
    std::string op, hm, ha, hb;
    int words;
    static u64 m[kMaxWords], a[kMaxWords], b[kMaxWords], r[kMaxWords];
    while (std::cin >> op >> words >> hm >> ha >> hb) {
        parse(hm, m);
        parse(ha, a);
        parse(hb, b);
        cm::mont::Modulus mod(m, words, op == "public");  // a public modulus's R^2 by division
        if (op == "mul") {
            mod.mul_plain(r, a, b);
        } else if (op == "square") {
            u64 t[kMaxWords];
            mod.to(t, a);
            mod.mul(t, t, t);  // a square: one operand at one address
            mod.from(r, t);
        } else if (op == "pow") {
            mod.pow(r, a, b, 64 * words);
        } else if (op == "factor") {
            u64 multiple[2 * kMaxWords];
            int bw = words;
            while (bw > 1 && !b[bw - 1])
                bw--;
            cm::mont::mul_words(multiple, m, words, b, bw);
            int mw = words + bw;
            while (!multiple[mw - 1])
                mw--;
            const cm::mont::Modulus of(multiple, mw, true);
            const cm::mont::Modulus factor(m, words, of);
            factor.mul_plain(r, a, a);
        } else if (op == "pair" || op == "pair_short") {
            const int w2 = op == "pair" || words == 1 ? words : words - 1;
            u64 m2[kMaxWords] = {}, a2[kMaxWords] = {}, b2[kMaxWords] = {}, r2[kMaxWords];
            for (int i = 0; i < w2; i++) {
                m2[i] = m[i];
                a2[i] = a[i];
                b2[i] = b[i];
            }
            if (op == "pair")
                m2[0] ^= 2;
            m2[w2 - 1] |= (u64)1 << 63;
            cm::mont::Modulus mod2(m2, w2);
            cm::mont::Modulus::pow_pair(r, mod, a, b, r2, mod2, a2, b2);
            std::cout << test_words::hex(r, words) << test_words::hex(r2, w2) << '\n';
            continue;
        } else if (op == "public") {
            mod.pow_public(r, a, b, words);
        } else {
            mod.reduce(r, a);
        }
        std::cout << test_words::hex(r, words) << '\n';
    }
}
