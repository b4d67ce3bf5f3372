// The arithmetic of python-rsa's PrivateKey.blinded_decrypt on words:
// the blinded message raised to the private exponent through the two CRT
// halves, then unblinded. Nothing here depends on the interpreter, so a
// test can build it on its own (the constant-time harness does).
#pragma once

#include "rsa/montgomery.h"

namespace cm {
namespace rsa_native {

using mont::u64;

// A private key's numbers, each zero above its own words up to n's, and the word counts
// the work follows: n's and e's, which are public, and those of p and q,
// their bit lengths rounded up to whole words.
struct PrivateWords {
    const u64 *n, *e, *p, *q, *exp1, *exp2, *coef;
    int n_words, e_words, p_words, q_words;
};

// out = s2 + q ((s1 - s2) coef mod p), s1 = x^exp_p mod p and s2 = x^exp_q
// mod q, as blinded_decrypt joins them: x^d mod n, below n, for x of n's
// words; n = p q, the key's modulus (public).
void crt_power(u64* out, const u64* x, const mont::Modulus& n, const PrivateWords& k, const u64* exp_p,
               const u64* exp_q);

// message = inverse (c factor^e mod n)^d mod n: blinded_decrypt(c) with the
// blinding factor and its inverse as _update_blinding_factor returned them.
// c below n.
void blinded_power(u64* message, const u64* c, const mont::Modulus& n, const PrivateWords& k, const u64* factor,
                   const u64* inverse);

}  // namespace rsa_native
}  // namespace cm
