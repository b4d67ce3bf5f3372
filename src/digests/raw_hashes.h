// pycryptodome's compiled hash functions, called directly: the libraries its
// Crypto.Hash package loads (_MD5, _SHA1, _SHA256 or _SHA256_shani, _SHA384,
// _SHA512), through the entry points its Python layer declares. Mechanism
// only, like ciphers/raw_ciphers.h.
#pragma once

#include "common/ref.h"

#include <cstddef>
#include <cstdint>

namespace cm::raw {

enum class Hash { MD5, SHA1, SHA256, SHA384, SHA512 };

// Loads the hash libraries of `crypto`, the imported Crypto package, under the
// contract of load_ciphers(). The SHA-256 library is the one
// Crypto.Hash.SHA256 itself uses (its SHA-NI build when it took that one;
// the module is imported if it is not yet).
bool load_hashes(PyObject* crypto);

size_t digest_size(Hash h);

// The digest of `len` bytes (fed to the library in one call) into `out`,
// digest_size(h) bytes. Returns 0 or the library's error code. Any thread,
// only after load_hashes() returned true.
int digest(Hash h, const uint8_t* in, size_t len, uint8_t* out);

// HMAC (RFC 2104) with MD5 over the same library.
int hmac_md5(const uint8_t* key, size_t key_len, const uint8_t* msg, size_t len, uint8_t out[16]);

}  // namespace cm::raw
