#include "tokens/base64url.h"

namespace cm {
namespace base64url {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct Values {
    signed char of[256];
    constexpr Values() : of() {
        for (int i = 0; i < 256; i++)
            of[i] = -1;
        for (int i = 0; i < 64; i++)
            of[(unsigned char)kAlphabet[i]] = (signed char)i;
    }
};
constexpr Values kValues;

}  // namespace

void encode(const uint8_t* in, size_t n, char* out) {
    size_t k = 0, i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8 | in[i + 2];
        out[k++] = kAlphabet[v >> 18];
        out[k++] = kAlphabet[(v >> 12) & 63];
        out[k++] = kAlphabet[(v >> 6) & 63];
        out[k++] = kAlphabet[v & 63];
    }
    if (n - i == 1) {
        uint32_t v = (uint32_t)in[i] << 16;
        out[k++] = kAlphabet[v >> 18];
        out[k++] = kAlphabet[(v >> 12) & 63];
    } else if (n - i == 2) {
        uint32_t v = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8;
        out[k++] = kAlphabet[v >> 18];
        out[k++] = kAlphabet[(v >> 12) & 63];
        out[k++] = kAlphabet[(v >> 6) & 63];
    }
}

bool decode(const char* in, size_t n, uint8_t* out, size_t& written) {
    if (n % 4 == 1)
        return false;
    size_t k = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; i++) {
        int v = kValues.of[(unsigned char)in[i]];
        if (v < 0)
            return false;
        acc = acc << 6 | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[k++] = (uint8_t)(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    if (acc != 0)
        return false;
    written = k;
    return true;
}

}  // namespace base64url
}  // namespace cm
