// R^2 mod m for a public modulus by long division: the steps follow m's
// words, so it is only for n (encryption, blinding), never for a prime.
#pragma once

#include "rsa/montgomery.h"

namespace cm {
namespace mont {

// r = 2^(128 n) mod m, R^2 for an m of n words (the top one nonzero), by
// long division, one quotient word a step (Knuth's algorithm D). Only for a
// public m: the words of m steer the steps.
inline void square_of_r_public(u64* r, const u64* m, int n) {
    const int s = __builtin_clzll(m[n - 1]);
    // d = m and the dividend 2^(128 n), shifted left by s: d's top bit set
    u64 d[kMaxWords] = {}, u[2 * kMaxWords + 1];
    for (int i = n - 1; i >= 0; i--)
        d[i] = (m[i] << s) | (s && i ? m[i - 1] >> (64 - s) : 0);
    for (int i = 0; i < 2 * n; i++)
        u[i] = 0;
    u[2 * n] = (u64)1 << s;
    const u64 top = d[n - 1], next = n > 1 ? d[n - 2] : 0;
    for (int j = n; j >= 0; j--) {
        // q, the quotient word of u[j .. j + n], from its top two words,
        // is at most two too large
        u128 head = ((u128)u[j + n] << 64) | u[j + n - 1];
        u128 q = head / top, rest = head % top;
        const u64 third = j + n >= 2 ? u[j + n - 2] : 0;
        while (q >> 64 || (u128)(u64)q * next > ((rest << 64) | third)) {
            q--;
            rest += top;
            if (rest >> 64)
                break;
        }
        // u[j .. j + n] -= q d; added back once where that went below 0
        u64 mul_carry = 0, borrow = 0;
        for (int i = 0; i < n; i++) {
            u128 product = (u128)(u64)q * d[i] + mul_carry;
            mul_carry = (u64)(product >> 64);
            unsigned long long diff;
            borrow = _subborrow_u64((unsigned char)borrow, u[i + j], (u64)product, &diff);
            u[i + j] = diff;
        }
        unsigned long long last;
        borrow = _subborrow_u64((unsigned char)borrow, u[j + n], mul_carry, &last);
        u[j + n] = last;
        if (borrow)
            u[j + n] += add(u + j, u + j, d, n);
    }
    for (int i = 0; i < n; i++)  // the remainder, shifted back
        r[i] = (u[i] >> s) | (s && i + 1 < n ? u[i + 1] << (64 - s) : 0);
}

}  // namespace mont
}  // namespace cm
