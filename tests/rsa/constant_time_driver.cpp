// Constant-time harness for the private-key arithmetic, run under valgrind's
// memcheck: the secret numbers are marked undefined, so any branch or
// memory address that depends on them is reported as the use of an
// uninitialised value. Reads lines of hexadecimal numbers
//   <op> n e p q exp1 exp2 coef factor inverse c
// with op "decrypt" (the blinding factors squared, the blinded power and
// its CRT, as a decryption runs them), "inverse" (the CRT power to p - 2
// and q - 2 that gives a first factor's inverse) or "leak" (a branch on p,
// which the harness must catch), and prints each result.
#include "rsa/private_power.h"

#include "driver_words.h"

#include <valgrind/memcheck.h>

#include <iostream>
#include <string>

using test_words::kMaxWords;
using test_words::u64;

namespace {

struct Number {
    u64 w[kMaxWords];
    int words = 0;
};

Number parse(const std::string& hex) {
    Number x;
    test_words::parse(hex, x.w);
    x.words = kMaxWords;
    while (x.words && !x.w[x.words - 1])
        x.words--;
    return x;
}

void secret(Number& x) { VALGRIND_MAKE_MEM_UNDEFINED(x.w, sizeof x.w); }

void print(const u64* r, int words) {
    VALGRIND_MAKE_MEM_DEFINED(r, 8 * (size_t)words);  // the result may be shown
    std::cout << test_words::hex(r, words) << '\n';
}

}  // namespace

int main() {
    std::string op, text[10];
    while (std::cin >> op) {
        Number x[10];
        for (int i = 0; i < 10; i++) {
            std::cin >> text[i];
            x[i] = parse(text[i]);
        }
        Number &n = x[0], &e = x[1], &p = x[2], &q = x[3], &exp1 = x[4], &exp2 = x[5], &coef = x[6], &factor = x[7],
               &inverse = x[8], &c = x[9];
        // word counts are public; everything below them secret
        for (Number* s : {&p, &q, &exp1, &exp2, &coef, &factor, &inverse})
            secret(*s);
        cm::rsa_native::PrivateWords key{n.w, e.w, p.w, q.w, exp1.w, exp2.w, coef.w, n.words, e.words, p.words, q.words};
        u64 out[kMaxWords] = {};
        const cm::mont::Modulus mod(n.w, n.words, true);  // public, as the module builds it
        if (op == "decrypt") {
            u64 next_factor[kMaxWords] = {}, next_inverse[kMaxWords] = {};
            mod.mul_plain(next_factor, factor.w, factor.w);
            mod.mul_plain(next_inverse, inverse.w, inverse.w);
            cm::rsa_native::blinded_power(out, c.w, mod, key, next_factor, next_inverse);
        } else if (op == "inverse") {
            u64 two[kMaxWords] = {2}, p2[kMaxWords] = {}, q2[kMaxWords] = {};
            cm::mont::sub(p2, p.w, two, p.words);
            cm::mont::sub(q2, q.w, two, q.words);
            cm::rsa_native::crt_power(out, factor.w, mod, key, p2, q2);
        } else {
            static const u64 table[4] = {1, 2, 3, 4};
            out[0] = table[p.w[0] & 3];  // an address of p's: must be reported
        }
        print(out, n.words);
    }
}
