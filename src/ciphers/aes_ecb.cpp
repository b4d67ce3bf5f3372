// AES in ECB mode: a UTF-8 text under a 16-, 24- or 32-byte text key,
// PKCS#7-padded, to raw ciphertext bytes and back.
#include "ciphers/ciphers.h"
#include "ciphers/pkcs7.h"
#include "common/globals.h"

namespace cm {

namespace {
const Name kModeEcb("MODE_ECB");
}  // namespace

// _aes_ecb_encrypt(value, key)
Ref aes_ecb_encrypt(Frame& f, Args a) {
    PyObject *value = a[0], *key = a[1];
    // cryptor = AES.new(key.encode("utf-8"), AES.MODE_ECB)
    f.line = 53;
    Ref cryptor = pkcs7::new_cryptor(globals::AES, kModeEcb, key);
    if (!cryptor)
        return {};
    // result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
    f.line = 54;
    return pkcs7::encrypt(cryptor.get(), value, globals::AES);
}

// _aes_ecb_decrypt(value, key)
Ref aes_ecb_decrypt(Frame& f, Args a) {
    PyObject *value = a[0], *key = a[1];
    // cryptor = AES.new(key.encode("utf-8"), AES.MODE_ECB)
    f.line = 59;
    Ref cryptor = pkcs7::new_cryptor(globals::AES, kModeEcb, key);
    if (!cryptor)
        return {};
    // text = cryptor.decrypt(value)
    f.line = 60;
    Ref text = pkcs7::decrypt(cryptor.get(), value);
    if (!text)
        return {};
    // result = unpad(text, AES.block_size).decode()
    f.line = 61;
    return pkcs7::unpad_decode(text.get(), globals::AES);
}

}  // namespace cm
