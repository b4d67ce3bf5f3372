// Test driver for src/tokens/sha256.cpp: reads lines "<key> <message>"
// (hexadecimal, "-" for empty) and prints HMAC-SHA256 of each, computed
// with the block function named on the command line: "portable", or
// "sha-ni" (exit status 77 where the CPU lacks the SHA extensions). The
// unit is built in here with its calls of the chosen block function
// redirected, so both are tried on one machine.
#include <cstddef>
#include <cstdint>

namespace cm {
namespace sha256 {
namespace {
void (*chosen_blocks)(uint32_t*, const uint8_t*, size_t);
}
}  // namespace sha256
}  // namespace cm

#define blocks(...) chosen_blocks(__VA_ARGS__)
#include "tokens/sha256.cpp"
#undef blocks

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

static std::vector<uint8_t> bytes_of(const std::string& hex) {
    std::vector<uint8_t> out;
    if (hex == "-")
        return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

int main(int argc, char** argv) {
    using namespace cm::sha256;
    if (argc == 2 && !std::strcmp(argv[1], "portable")) {
        chosen_blocks = blocks_portable;
    } else if (argc == 2 && !std::strcmp(argv[1], "sha-ni")) {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("sha") || !__builtin_cpu_supports("sse4.1"))
            return 77;
        chosen_blocks = blocks_sha_ni;
    } else {
        return 2;
    }
    std::string key, message;
    while (std::cin >> key >> message) {
        std::vector<uint8_t> k = bytes_of(key), m = bytes_of(message);
        uint8_t tag[kDigest];
        // the message in two parts, as the tokens pass it
        size_t half = m.size() / 2;
        hmac(k.data(), k.size(), m.data(), half, m.data() + half, m.size() - half, tag);
        static const char digits[] = "0123456789abcdef";
        for (uint8_t byte : tag)
            std::cout << digits[byte >> 4] << digits[byte & 15];
        std::cout << '\n';
    }
}
