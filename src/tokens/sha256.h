// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104) over short messages,
// for the tokens' signatures. The block function uses the CPU's SHA
// instructions where it has them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cm {
namespace sha256 {

constexpr size_t kDigest = 32;
constexpr size_t kBlock = 64;

class Hash {
public:
    Hash();
    void update(const uint8_t* data, size_t size);
    void finish(uint8_t out[kDigest]);

private:
    uint32_t state_[8];
    uint8_t buffer_[kBlock];
    size_t buffered_ = 0;
    uint64_t total_ = 0;
};

// HMAC-SHA256(key, first || second): the message may come in two parts.
void hmac(const uint8_t* key, size_t key_size, const uint8_t* first, size_t first_size, const uint8_t* second,
          size_t second_size, uint8_t out[kDigest]);

}  // namespace sha256
}  // namespace cm
