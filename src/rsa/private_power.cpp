#include "rsa/private_power.h"

namespace cm {
namespace rsa_native {

using mont::kMaxWords;
using mont::Modulus;

namespace {

// s = x^exp mod m for x of `words` words (at most twice m's), exp < m:
// every bit of m's words worked through.
void crt_half(u64* s, const Modulus& m, const u64* x, int words, const u64* exp) {
    u64 base[kMaxWords];
    m.reduce_wide(base, x, words);
    m.pow(s, base, exp, 64 * m.words());
}

}  // namespace

void crt_power(u64* out, const u64* x, const PrivateWords& k, const u64* exp_p, const u64* exp_q) {
    u64 s2[2 * kMaxWords] = {}, h[kMaxWords] = {};  // s2 read as a wide number
    {
        Modulus q(k.q, k.q_words);
        crt_half(s2, q, x, k.n_words, exp_q);
    }
    {
        Modulus p(k.p, k.p_words);
        u64 s1[kMaxWords], b[kMaxWords], d[kMaxWords];
        crt_half(s1, p, x, k.n_words, exp_p);
        p.reduce_wide(b, s2, k.q_words);
        p.sub_mod(d, s1, b);
        p.mul_plain(h, d, k.coef);
    }
    u64 qh[2 * kMaxWords];
    mont::mul_words(qh, k.q, k.q_words, h, k.p_words);
    mont::add(out, qh, s2, k.n_words);  // q h + s2 < n: no carry out
}

void blinded_power(u64* message, const u64* c, const Modulus& n, const PrivateWords& k, const u64* factor,
                   const u64* inverse) {
    u64 x[kMaxWords], blinded[kMaxWords], decrypted[kMaxWords];
    n.pow_public(x, factor, k.e, k.e_words);
    n.mul_plain(blinded, c, x);
    crt_power(decrypted, blinded, k, k.exp1, k.exp2);
    n.mul_plain(message, inverse, decrypted);
}

}  // namespace rsa_native
}  // namespace cm
