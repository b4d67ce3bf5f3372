// AES-ECB, AES-CBC, DES-ECB, and the zero-padded AES-CBC that PHP peers use.
#pragma once

#include "ciphers/raw_ciphers.h"
#include "common/body.h"
#include "common/names.h"
#include "common/specialised.h"

namespace cm {

namespace cipher_names {
// What the cipher methods read of pycryptodome, base64, texts and self.
inline Name new_("new"), MODE_ECB("MODE_ECB"), MODE_CBC("MODE_CBC"), block_size("block_size"), encrypt("encrypt"),
    decrypt("decrypt"), encodebytes("encodebytes"), decodebytes("decodebytes"), rstrip("rstrip"),
    add_to_16("_add_to_16");
}  // namespace cipher_names

// A block cipher of the PKCS#7 methods: the module global that provides it
// and its mode, read at each call, and whether the mode takes an IV; for the
// specialised paths, the compiled cipher and mode that the library runs.
struct BlockCipher {
    const Name& cipher;
    const Name& mode;
    bool with_iv;
    raw::Cipher raw_cipher;
    raw::Mode raw_mode;
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

template <const BlockCipher& S>
Ref block_encrypt(Call& c, Args a) { return block_encrypt(S, c, a); }
template <const BlockCipher& S>
Ref block_decrypt(Call& c, Args a) { return block_decrypt(S, c, a); }

// The same through pycryptodome's compiled cipher, for exact str texts and
// keys (and exact bytes ciphertext) under keys and IVs of the lengths it
// takes; one branch each.
extern const SpecialisedPath aes_ecb_encrypt_path, aes_ecb_decrypt_path, aes_cbc_encrypt_path,
    aes_cbc_decrypt_path, des_encrypt_path, des_decrypt_path;

// pycryptodome's compiled ciphers, loaded at the first call that asks.
extern NativeLibraries crypto_ciphers;

// What AES.new runs for the CBC mode, shared by the PKCS#7 and the PHP paths.
Guard& aes_guard();
Guard& cbc_guard();

Ref php_encrypt(Call& c, Args a);
Ref php_decrypt(Call& c, Args a);
Ref add_to_16(Call& c, Args a);

// The PHP cipher through the compiled AES-CBC, for exact str texts, keys and
// IVs (and exact bytes ciphertext) with base64s True, False or None: one
// branch per form (raw, Base64).
extern const SpecialisedPath php_encrypt_path, php_decrypt_path;

// _add_to_16 for an exact str, through the step the PHP paths share
// (ciphers/gbk_zero_padding.h): one branch.
extern const SpecialisedPath add_to_16_path;

// text.rstrip("\0"), the PHP cipher's last step
Ref rstrip_nul(PyObject* text);

}  // namespace cm
