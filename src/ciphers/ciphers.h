// AES-ECB, AES-CBC, DES-ECB, and the zero-padded AES-CBC that PHP peers use.
#pragma once

#include "common/body.h"
#include "common/names.h"

namespace cm {

// A block cipher of the PKCS#7 methods: the module global that provides it
// and its mode, read at each call, and whether the mode takes an IV.
struct BlockCipher {
    const Name& cipher;
    const Name& mode;
    bool with_iv;
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

Ref php_encrypt(Call& c, Args a);
Ref php_decrypt(Call& c, Args a);
Ref add_to_16(Call& c, Args a);

}  // namespace cm
