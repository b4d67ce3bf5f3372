// AES in CBC mode: a UTF-8 text under a 16-, 24- or 32-byte text key and a
// 16-byte text IV, PKCS#7-padded, to raw ciphertext bytes (without the IV)
// and back.
#include "ciphers/ciphers.h"
#include "ciphers/pkcs7.h"
#include "common/globals.h"

namespace cm {

namespace {
const Name kModeCbc("MODE_CBC");
}  // namespace

// _aes_cbc_encrypt(value, key, iv)
Ref aes_cbc_encrypt(Frame& f, Args a) {
    PyObject *value = a[0], *key = a[1], *iv = a[2];
    // cryptor = AES.new(key.encode("utf-8"), AES.MODE_CBC, iv.encode("utf-8"))
    f.line = 66;
    Ref cryptor = pkcs7::new_cryptor(globals::AES, kModeCbc, key, iv);
    if (!cryptor)
        return {};
    // result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
    f.line = 67;
    return pkcs7::encrypt(cryptor.get(), value, globals::AES);
}

// _aes_cbc_decrypt(value, key, iv)
Ref aes_cbc_decrypt(Frame& f, Args a) {
    PyObject *value = a[0], *key = a[1], *iv = a[2];
    // cryptor = AES.new(key.encode("utf-8"), AES.MODE_CBC, iv.encode("utf-8"))
    f.line = 72;
    Ref cryptor = pkcs7::new_cryptor(globals::AES, kModeCbc, key, iv);
    if (!cryptor)
        return {};
    // text = cryptor.decrypt(value)
    f.line = 73;
    Ref text = pkcs7::decrypt(cryptor.get(), value);
    if (!text)
        return {};
    // result = unpad(text, AES.block_size).decode()
    f.line = 74;
    return pkcs7::unpad_decode(text.get(), globals::AES);
}

}  // namespace cm
