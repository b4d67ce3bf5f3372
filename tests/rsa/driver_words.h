// Hexadecimal text to words and back, for the test drivers of the RSA
// arithmetic.
#pragma once

#include "rsa/montgomery.h"

#include <cstdio>
#include <string>

namespace test_words {

using cm::mont::kMaxWords;
using cm::mont::u64;

// out (kMaxWords words) = the number `hex` spells
inline void parse(const std::string& hex, u64* out) {
    for (int i = 0; i < kMaxWords; i++)
        out[i] = 0;
    size_t len = hex.size();
    for (size_t k = 0; k < len && k < 16 * (size_t)kMaxWords; k++) {
        char ch = hex[len - 1 - k];
        u64 v = ch <= '9' ? ch - '0' : (ch | 32) - 'a' + 10;
        out[k / 16] |= v << (4 * (k % 16));
    }
}

// the `words` words of r as hexadecimal digits
inline std::string hex(const u64* r, int words) {
    char buf[20];
    std::string out;
    for (int i = words - 1; i >= 0; i--) {
        std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)r[i]);
        out += buf;
    }
    return out;
}

}  // namespace test_words
