// pycryptodome's compiled block ciphers and modes, called directly: the
// libraries its Crypto.Cipher package loads (_raw_aes or _raw_aesni, _raw_des,
// _raw_ecb, _raw_cbc), through the entry points its Python layer declares.
// Mechanism only: deciding when these may stand in for the Python layer, and
// falling back to it, is the caller's.
#pragma once

#include "common/ref.h"

#include <cstddef>
#include <cstdint>

namespace cm::raw {

enum class Cipher { AES, DES };
enum class Mode { ECB, CBC };

// Loads the cipher and mode libraries of `crypto`, the imported Crypto package
// (the files are found from its directory, as pycryptodome finds them). The
// AES library is the one Crypto.Cipher.AES itself uses: the AES-NI build when
// that module loaded it, else the portable one (the module is imported if it
// is not yet). True when every entry point is there; no exception is left set. The first successful load is kept for the
// process; a later call is true only for the very same libraries. Call it
// with the GIL, while importing (not from two threads at once); crypt() may
// then run on any thread, with or without the GIL.
bool load_ciphers(PyObject* crypto);

size_t block_size(Cipher c);
// Whether the cipher takes a key of `key_len` bytes.
bool takes_key(Cipher c, size_t key_len);

// One whole-buffer operation, as the Python layer performs it: key schedule,
// mode set-up, `len` bytes (a multiple of the block size; the caller checks),
// then the mode's stop_operation, which also frees the key schedule. `iv` (one
// block) is read in CBC mode only. `in` and `out` must not overlap. Returns 0,
// or the library's nonzero error code; a key length the cipher does not take
// gives kErrKeySize without calling the library. Only after load_ciphers()
// returned true.
constexpr int kErrKeySize = 6;  // pycryptodome's ERR_KEY_SIZE
int crypt(Cipher c, Mode m, bool encrypt, const uint8_t* key, size_t key_len, const uint8_t* iv,
          const uint8_t* in, uint8_t* out, size_t len);

}  // namespace cm::raw
