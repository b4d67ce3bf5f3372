#include "digests/raw_hashes.h"

#include "common/native_library.h"

#include <cstring>

namespace cm::raw {

namespace {

const char* const kEntryNames[] = {"_init", "_update", "_digest", "_destroy"};
enum Entry { kInit, kUpdate, kDigest, kDestroy };

// The libraries, in the order of Hash. MD5 and SHA-1 take no size; the SHA-2
// digest calls take the digest size, and SHA-512's init too (the library also
// serves the truncated SHA-512 variants).
struct HashSpec {
    LibrarySpec library;
    size_t size;
    bool sized_init, sized_digest;
};
const HashSpec kHashes[] = {
    {{"Hash/_MD5", "MD5", kEntryNames, 4}, 16, false, false},
    {{"Hash/_SHA1", "SHA1", kEntryNames, 4}, 20, false, false},
    {{"Hash/_SHA256", "SHA256", kEntryNames, 4}, 32, false, true},
    {{"Hash/_SHA384", "SHA384", kEntryNames, 4}, 48, false, true},
    {{"Hash/_SHA512", "SHA512", kEntryNames, 4}, 64, true, true},
};
constexpr size_t kCount = sizeof kHashes / sizeof kHashes[0];
const char kSha256ShaNi[] = "Hash/_SHA256_shani";  // same entry points

LibrarySet g_libraries;

using Init = int (*)(void** state);
using SizedInit = int (*)(void** state, size_t digest_size);
using Update = int (*)(void* state, const uint8_t* in, size_t len);
using Digest = int (*)(const void* state, uint8_t* out);
using SizedDigest = int (*)(const void* state, uint8_t* out, size_t digest_size);
using Destroy = int (*)(void* state);

template <class F>
F entry(Hash h, Entry e) {
    return reinterpret_cast<F>(g_libraries.entry((size_t)h, e));
}

// Whether Crypto.Hash.SHA256 uses its SHA-NI library: 1 or 0, or -1 when the
// module does not tell. The library it hashes with is _raw_sha256_lib; from
// 4.0 it is _raw_sha256_shani_lib when the CPU has SHA-NI.
int sha256_uses_shani(PyObject* crypto) {
    Ref module = import_submodule(crypto, "Hash.SHA256");
    Ref used(module ? PyObject_GetAttrString(module.get(), "_raw_sha256_lib") : nullptr);
    if (!used)
        return -1;
    Ref shani(PyObject_GetAttrString(module.get(), "_raw_sha256_shani_lib"));
    return shani && shani.get() == used.get();
}

struct Piece {
    const uint8_t* data;
    size_t len;
};

// The digest of the pieces one after the other.
int hash_pieces(Hash h, const Piece* pieces, size_t count, uint8_t* out) {
    const HashSpec& spec = kHashes[(size_t)h];
    void* state = nullptr;
    int rc = spec.sized_init ? entry<SizedInit>(h, kInit)(&state, spec.size) : entry<Init>(h, kInit)(&state);
    if (rc)
        return rc;
    // The library refuses a null buffer even for no data; no data is no work.
    for (size_t i = 0; !rc && i < count; i++)
        if (pieces[i].len)
            rc = entry<Update>(h, kUpdate)(state, pieces[i].data, pieces[i].len);
    if (!rc)
        rc = spec.sized_digest ? entry<SizedDigest>(h, kDigest)(state, out, spec.size)
                               : entry<Digest>(h, kDigest)(state, out);
    entry<Destroy>(h, kDestroy)(state);
    return rc;
}

}  // namespace

bool load_hashes(PyObject* crypto) {
    int shani = sha256_uses_shani(crypto);
    PyErr_Clear();
    if (shani < 0)
        return false;
    LibrarySpec specs[kCount];
    for (size_t i = 0; i < kCount; i++)
        specs[i] = kHashes[i].library;
    if (shani)
        specs[(size_t)Hash::SHA256].sub_path = kSha256ShaNi;
    return g_libraries.load(crypto, specs, kCount);
}

size_t digest_size(Hash h) {
    return kHashes[(size_t)h].size;
}

int digest(Hash h, const uint8_t* in, size_t len, uint8_t* out) {
    Piece whole{in, len};
    return hash_pieces(h, &whole, 1, out);
}

int hmac_md5(const uint8_t* key, size_t key_len, const uint8_t* msg, size_t len, uint8_t out[16]) {
    constexpr size_t kBlock = 64;
    uint8_t padded_key[kBlock] = {}, pad[kBlock], inner[16];
    if (key_len > kBlock) {
        if (int rc = digest(Hash::MD5, key, key_len, padded_key))
            return rc;
    } else if (key_len) {
        std::memcpy(padded_key, key, key_len);
    }
    for (size_t i = 0; i < kBlock; i++)
        pad[i] = padded_key[i] ^ 0x36;
    const Piece inner_pieces[] = {{pad, kBlock}, {msg, len}};
    if (int rc = hash_pieces(Hash::MD5, inner_pieces, 2, inner))
        return rc;
    for (size_t i = 0; i < kBlock; i++)
        pad[i] = padded_key[i] ^ 0x5c;
    const Piece outer_pieces[] = {{pad, kBlock}, {inner, sizeof inner}};
    return hash_pieces(Hash::MD5, outer_pieces, 2, out);
}

}  // namespace cm::raw
