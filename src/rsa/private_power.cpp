#include "rsa/private_power.h"

namespace cm {
namespace rsa_native {

using mont::kMaxWords;
using mont::Modulus;

void crt_power(u64* out, const u64* x, const Modulus& n, const PrivateWords& k, const u64* exp_p, const u64* exp_q) {
    u64 s1[kMaxWords], s2[kMaxWords], h[kMaxWords];
    for (int i = k.q_words; i < k.n_words; i++)  // s2 is added over n's words
        s2[i] = 0;
    Modulus p(k.p, k.p_words, n), q(k.q, k.q_words, n);
    {
        u64 base_p[kMaxWords], base_q[kMaxWords];
        p.reduce_wide(base_p, x, k.n_words);
        q.reduce_wide(base_q, x, k.n_words);
        Modulus::pow_pair(s1, p, base_p, exp_p, s2, q, base_q, exp_q);
    }
    u64 b[kMaxWords], d[kMaxWords];
    p.reduce_wide(b, s2, k.q_words);
    p.sub_mod(d, s1, b);
    p.mul_plain(h, d, k.coef);
    u64 qh[2 * kMaxWords];
    mont::mul_words(qh, k.q, k.q_words, h, k.p_words);
    mont::add(out, qh, s2, k.n_words);  // q h + s2 < n: no carry out
}

void blinded_power(u64* message, const u64* c, const Modulus& n, const PrivateWords& k, const u64* factor,
                   const u64* inverse) {
    u64 x[kMaxWords], blinded[kMaxWords], decrypted[kMaxWords];
    n.pow_public(x, factor, k.e, k.e_words);
    n.mul_plain(blinded, c, x);
    crt_power(decrypted, blinded, n, k, k.exp1, k.exp2);
    n.mul_plain(message, inverse, decrypted);
}

}  // namespace rsa_native
}  // namespace cm
