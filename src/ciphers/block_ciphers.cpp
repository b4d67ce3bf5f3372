// AES in ECB and CBC mode and single DES in ECB mode: a UTF-8 text under a
// text key (and IV), PKCS#7-padded, to raw ciphertext bytes and back.
#include "ciphers/ciphers.h"

#include "common/call.h"
#include "common/text.h"

namespace cm {

const BlockCipher aes_ecb{names::AES, cipher_names::MODE_ECB, false, raw::Cipher::AES, raw::Mode::ECB};
const BlockCipher aes_cbc{names::AES, cipher_names::MODE_CBC, true, raw::Cipher::AES, raw::Mode::CBC};
const BlockCipher des_ecb{names::DES, cipher_names::MODE_ECB, false, raw::Cipher::DES, raw::Mode::ECB};

namespace {

// <cipher>.new(key.encode("utf-8"), <cipher>.<mode>[, iv.encode("utf-8")])
Ref new_cryptor(const BlockCipher& s, Call& c, PyObject* key, PyObject* iv) {
    Ref make = global_attr(c, s.cipher, cipher_names::new_);
    if (!make)
        return {};
    Ref key_bytes = encode_utf8(key);
    if (!key_bytes)
        return {};
    Ref mode = global_attr(c, s.cipher, s.mode);
    if (!mode)
        return {};
    if (!s.with_iv)
        return call(make, key_bytes, mode);
    Ref iv_bytes = encode_utf8(iv);
    if (!iv_bytes)
        return {};
    return call(make, key_bytes, mode, iv_bytes);
}

}  // namespace

Ref block_encrypt(const BlockCipher& s, Call& c, Args a) {
    PyObject *value = a[0], *key = a[1], *iv = s.with_iv ? a[2] : nullptr;
    c.at(1);
    Ref cryptor = new_cryptor(s, c, key, iv);
    if (!cryptor)
        return {};
    // cryptor.encrypt is fetched before its argument is made, as in Python.
    c.at(2);
    Ref encrypt = attr(cryptor, cipher_names::encrypt);
    if (!encrypt)
        return {};
    Ref pad = global(c, names::pad);
    if (!pad)
        return {};
    Ref data = encode_utf8(value);
    if (!data)
        return {};
    Ref block_size = global_attr(c, s.cipher, cipher_names::block_size);
    if (!block_size)
        return {};
    Ref padded = call(pad, data, block_size);
    if (!padded)
        return {};
    data = Ref();  // a temporary: gone once the call returns
    return call(encrypt, padded);
}

Ref block_decrypt(const BlockCipher& s, Call& c, Args a) {
    PyObject *value = a[0], *key = a[1], *iv = s.with_iv ? a[2] : nullptr;
    c.at(1);
    Ref cryptor = new_cryptor(s, c, key, iv);
    if (!cryptor)
        return {};
    c.at(2);
    Ref text = call_method(cryptor, cipher_names::decrypt, value);
    if (!text)
        return {};
    c.at(3);
    Ref unpad = global(c, names::unpad);
    if (!unpad)
        return {};
    Ref block_size = global_attr(c, s.cipher, cipher_names::block_size);
    if (!block_size)
        return {};
    Ref data = call(unpad, text, block_size);
    if (!data)
        return {};
    return decode(data.get());
}

}  // namespace cm
