#include "tokens/sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace cm {
namespace sha256 {

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

void blocks_portable(uint32_t state[8], const uint8_t* data, size_t count) {
    for (; count; count--, data += kBlock) {
        uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = load_be(data + 4 * i);
        for (int i = 16; i < 64; i++) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; i++) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__)
// The SHA extensions keep the state as two registers, ABEF and CDGH.
__attribute__((target("sha,sse4.1"))) void blocks_sha_ni(uint32_t state[8], const uint8_t* data, size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));    // A B C D
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));  // E F G H
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                                             // C D A B
    state1 = _mm_shuffle_epi32(state1, 0x1B);                                       // H G F E
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                               // A B E F
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                    // C D G H

    for (; count; count--, data += kBlock) {
        __m128i abef = state0, cdgh = state1;
        __m128i msg[4];
        for (int i = 0; i < 4; i++)
            msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
        for (int r = 0; r < 16; r++) {
            __m128i& m = msg[r & 3];
            if (r >= 4) {
                // m (= w[4r-16..]) becomes w[4r..4r+3]
                __m128i next = _mm_sha256msg1_epu32(m, msg[(r + 1) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(msg[(r + 3) & 3], msg[(r + 2) & 3], 4));
                m = _mm_sha256msg2_epu32(next, msg[(r + 3) & 3]);
            }
            __m128i wk = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&K[4 * r])));
            // two rounds: state1 takes the new ABEF, the old ABEF is now CDGH
            state1 = _mm_sha256rnds2_epu32(state1, state0, wk);
            wk = _mm_shuffle_epi32(wk, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, wk);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);        // F E B A
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // D C H G
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // D C B A
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // H G F E
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}
#endif

using BlockFunction = void (*)(uint32_t*, const uint8_t*, size_t);

BlockFunction choose() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1"))
        return blocks_sha_ni;
#endif
    return blocks_portable;
}

const BlockFunction blocks = choose();

}  // namespace

Hash::Hash() { std::memcpy(state_, kInitial, sizeof state_); }

void Hash::update(const uint8_t* data, size_t size) {
    if (size == 0)
        return;  // no data, perhaps no buffer either
    total_ += size;
    if (buffered_) {
        size_t take = kBlock - buffered_ < size ? kBlock - buffered_ : size;
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ < kBlock)
            return;
        blocks(state_, buffer_, 1);
        buffered_ = 0;
    }
    if (size >= kBlock) {
        blocks(state_, data, size / kBlock);
        data += size - size % kBlock;
        size %= kBlock;
    }
    std::memcpy(buffer_, data, size);
    buffered_ = size;
}

void Hash::finish(uint8_t out[kDigest]) {
    uint64_t bits = total_ * 8;
    uint8_t tail[2 * kBlock] = {};
    std::memcpy(tail, buffer_, buffered_);
    tail[buffered_] = 0x80;
    size_t size = buffered_ + 9 <= kBlock ? kBlock : 2 * kBlock;
    for (int i = 0; i < 8; i++)
        tail[size - 1 - i] = (uint8_t)(bits >> (8 * i));
    blocks(state_, tail, size / kBlock);
    for (int i = 0; i < 8; i++) {
        out[4 * i] = (uint8_t)(state_[i] >> 24);
        out[4 * i + 1] = (uint8_t)(state_[i] >> 16);
        out[4 * i + 2] = (uint8_t)(state_[i] >> 8);
        out[4 * i + 3] = (uint8_t)state_[i];
    }
}

void hmac(const uint8_t* key, size_t key_size, const uint8_t* first, size_t first_size, const uint8_t* second,
          size_t second_size, uint8_t out[kDigest]) {
    uint8_t block[kBlock] = {};
    if (key_size > kBlock) {
        Hash h;
        h.update(key, key_size);
        h.finish(block);
    } else {
        std::memcpy(block, key, key_size);
    }
    uint8_t pad[kBlock];
    for (size_t i = 0; i < kBlock; i++)
        pad[i] = block[i] ^ 0x36;
    Hash inner;
    inner.update(pad, kBlock);
    inner.update(first, first_size);
    inner.update(second, second_size);
    uint8_t inner_digest[kDigest];
    inner.finish(inner_digest);
    for (size_t i = 0; i < kBlock; i++)
        pad[i] = block[i] ^ 0x5c;
    Hash outer;
    outer.update(pad, kBlock);
    outer.update(inner_digest, kDigest);
    outer.finish(out);
}

}  // namespace sha256
}  // namespace cm
