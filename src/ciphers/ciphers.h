// AES-ECB, AES-CBC, DES-ECB, and the zero-padded AES-CBC that PHP peers use.
#pragma once

#include "ciphers/raw_ciphers.h"
#include "common/body.h"
#include "common/names.h"
#include "common/specialised.h"

namespace cm {

// A block cipher of the PKCS#7 methods: the module global that provides it
// and its mode, read at each call, and whether the mode takes an IV; for the
// specialised path, the compiled cipher and mode that the library runs, and
// the pins of what the steps read.
struct BlockCipher {
    const Name& cipher;
    const Name& mode;
    bool with_iv;
    raw::Cipher raw_cipher;
    raw::Mode raw_mode;
    const Pin& module;
    const Pin& make;
    const Pin& mode_value;
    const Pin& block_size;
};
extern const BlockCipher aes_ecb, aes_cbc, des_ecb;

// _<cipher>_encrypt(value, key[, iv]):
//     cryptor = <cipher>.new(key.encode("utf-8"), <cipher>.<mode>[, iv.encode("utf-8")])
//     result = cryptor.encrypt(pad(value.encode("utf-8"), <cipher>.block_size))
Ref block_encrypt(const BlockCipher& s, Call& c, Args a);
// _<cipher>_decrypt(value, key[, iv]):
//     cryptor = <cipher>.new(key.encode("utf-8"), <cipher>.<mode>[, iv.encode("utf-8")])
//     text = cryptor.decrypt(value)
//     result = unpad(text, <cipher>.block_size).decode()
Ref block_decrypt(const BlockCipher& s, Call& c, Args a);

// The same, through the compiled cipher, for exact str texts and keys (and
// exact bytes ciphertext) under keys and IVs of the lengths it takes.
Fast block_encrypt_fast(const BlockCipher& s, const Call& c, Args a);
Fast block_decrypt_fast(const BlockCipher& s, const Call& c, Args a);

template <const BlockCipher& S>
Ref block_encrypt(Call& c, Args a) { return block_encrypt(S, c, a); }
template <const BlockCipher& S>
Ref block_decrypt(Call& c, Args a) { return block_decrypt(S, c, a); }
template <const BlockCipher& S>
Fast block_encrypt_fast(const Call& c, Args a) { return block_encrypt_fast(S, c, a); }
template <const BlockCipher& S>
Fast block_decrypt_fast(const Call& c, Args a) { return block_decrypt_fast(S, c, a); }

// Whether pycryptodome's compiled ciphers are loaded: at the first call
// that asks, from the Crypto package that the module imported.
bool native_ciphers();

Ref php_encrypt(Call& c, Args a);
Ref php_decrypt(Call& c, Args a);
Fast php_encrypt_fast(const Call& c, Args a);
Fast php_decrypt_fast(const Call& c, Args a);
Ref add_to_16(Call& c, Args a);

// Steps of the PHP cipher, shared by its generic and specialised paths.
// text.encode("gbk") zero-padded to a multiple of 16 bytes, for an exact str
// (what _add_to_16 gives it)
Ref gbk_zero_padded(PyObject* text);
// text.rstrip("\0")
Ref rstrip_nul(PyObject* text);

}  // namespace cm
