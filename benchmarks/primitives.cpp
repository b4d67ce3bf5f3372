// pycryptodome's compiled primitives timed from C, through the module's raw
// layer (src/ciphers/raw_ciphers, src/digests/raw_hashes). An embedded
// interpreter imports Crypto only so that the layer can find and load the
// libraries; the timed loops make no Python call. Built and run by
// primitives.py, which prints the table.
//
// Output: one line per operation, "<name>\t<best ns per operation>".
#include "ciphers/raw_ciphers.h"
#include "digests/raw_hashes.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace cm;

namespace {

// Best of `rounds` rounds; each round runs long enough (~20 ms) to time.
template <class F>
double best_ns(F op, int rounds) {
    using clock = std::chrono::steady_clock;
    long n = 1;
    for (;;) {  // calibrate
        auto t0 = clock::now();
        for (long i = 0; i < n; i++)
            op();
        if (clock::now() - t0 > std::chrono::milliseconds(20))
            break;
        n *= 2;
    }
    double best = 1e300;
    for (int r = 0; r < rounds; r++) {
        auto t0 = clock::now();
        for (long i = 0; i < n; i++)
            op();
        double ns = std::chrono::duration<double, std::nano>(clock::now() - t0).count() / n;
        best = ns < best ? ns : best;
    }
    return best;
}

bool same_hex(const uint8_t* bytes, const char* hex) {
    for (size_t i = 0; hex[2 * i]; i++) {
        unsigned v;
        if (std::sscanf(hex + 2 * i, "%2x", &v) != 1 || bytes[i] != v)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    Py_Initialize();
    Ref crypto(PyImport_ImportModule("Crypto"));
    if (!crypto || !raw::load_ciphers(crypto.get()) || !raw::load_hashes(crypto.get())) {
        PyErr_Print();
        std::fprintf(stderr, "pycryptodome's libraries are not available\n");
        return 1;
    }

    uint8_t key[16], iv[16], in[32], out[64];
    for (int i = 0; i < 16; i++)
        key[i] = iv[i] = (uint8_t)i;
    std::memcpy(in, "0123456789abcdef0123456789abcdef", 32);
    const uint8_t* text = (const uint8_t*)"hello";
    const uint8_t* fox = (const uint8_t*)"The quick brown fox jumps over the lazy dog";

    // The timed paths give the right answers.
    uint8_t block[16];
    static const uint8_t fips_key[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    static const uint8_t fips_pt[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                        0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    raw::crypt(raw::Cipher::AES, raw::Mode::ECB, true, fips_key, 16, nullptr, fips_pt, block, 16);
    raw::hmac_md5((const uint8_t*)"key", 3, fox, 43, out);
    if (!same_hex(block, "69c4e0d86a7b0430d8cdb78070b4c55a") || !same_hex(out, "80070713463e7749b90c2dc24911e275")) {
        std::fprintf(stderr, "wrong results\n");
        return 1;
    }

    struct Cipher {
        const char* name;
        raw::Cipher cipher;
        raw::Mode mode;
        size_t len;
    } ciphers[] = {
        {"AES-128-ECB encrypt, key schedule + 2 blocks", raw::Cipher::AES, raw::Mode::ECB, 32},
        {"AES-128-CBC encrypt, key schedule + 2 blocks", raw::Cipher::AES, raw::Mode::CBC, 32},
        {"DES-ECB encrypt, key schedule + 2 blocks", raw::Cipher::DES, raw::Mode::ECB, 16},
    };
    for (const Cipher& c : ciphers) {
        size_t key_len = c.cipher == raw::Cipher::AES ? 16 : 8;
        double ns = best_ns([&] { raw::crypt(c.cipher, c.mode, true, key, key_len, iv, in, out, c.len); }, rounds);
        std::printf("%s\t%.1f\n", c.name, ns);
    }
    struct Hash {
        const char* name;
        raw::Hash hash;
    } hashes[] = {{"MD5", raw::Hash::MD5},
                  {"SHA-1", raw::Hash::SHA1},
                  {"SHA-256", raw::Hash::SHA256},
                  {"SHA-384", raw::Hash::SHA384},
                  {"SHA-512", raw::Hash::SHA512}};
    for (const Hash& h : hashes) {
        double ns = best_ns([&] { raw::digest(h.hash, text, 5, out); }, rounds);
        std::printf("%s of 5 bytes\t%.1f\n", h.name, ns);
    }
    double ns = best_ns([&] { raw::hmac_md5((const uint8_t*)"key", 3, fox, 43, out); }, rounds);
    std::printf("HMAC-MD5, 3-byte key, 43 bytes\t%.1f\n", ns);
    return 0;
}
