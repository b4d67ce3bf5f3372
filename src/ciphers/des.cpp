// Single DES in ECB mode: a UTF-8 text under an 8-byte text key, PKCS#7-padded
// to 8-byte blocks, to raw ciphertext bytes and back.
#include "ciphers/ciphers.h"
#include "ciphers/pkcs7.h"
#include "common/globals.h"

namespace cm {

namespace {
const Name kModeEcb("MODE_ECB");
}  // namespace

// _des_encrypt(value, key)
Ref des_encrypt(Frame& f, Args a) {
    PyObject *value = a[0], *key = a[1];
    // cryptor = DES.new(key.encode("utf-8"), DES.MODE_ECB)
    f.line = 89;
    Ref cryptor = pkcs7::new_cryptor(globals::DES, kModeEcb, key);
    if (!cryptor)
        return {};
    // result = cryptor.encrypt(pad(value.encode("utf-8"), DES.block_size))
    f.line = 90;
    return pkcs7::encrypt(cryptor.get(), value, globals::DES);
}

// _des_decrypt(value, key)
Ref des_decrypt(Frame& f, Args a) {
    PyObject *value = a[0], *key = a[1];
    // cryptor = DES.new(key.encode("utf-8"), DES.MODE_ECB)
    f.line = 95;
    Ref cryptor = pkcs7::new_cryptor(globals::DES, kModeEcb, key);
    if (!cryptor)
        return {};
    // text = cryptor.decrypt(value)
    f.line = 96;
    Ref text = pkcs7::decrypt(cryptor.get(), value);
    if (!text)
        return {};
    // result = unpad(text, DES.block_size).decode()
    f.line = 97;
    return pkcs7::unpad_decode(text.get(), globals::DES);
}

}  // namespace cm
