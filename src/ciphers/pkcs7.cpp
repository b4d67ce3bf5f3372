// Cipher objects from text keys, PKCS#7-padded encryption of UTF-8 text and
// the way back, for the block ciphers that take their padding from `pad`
// and `unpad`.
#include "ciphers/pkcs7.h"

#include "common/call.h"
#include "common/text.h"

namespace cm::pkcs7 {

namespace {
const Name kNew("new");
const Name kEncrypt("encrypt");
const Name kDecrypt("decrypt");
const Name kBlockSize("block_size");
}  // namespace

Ref new_cryptor(const Name& cipher, const Name& mode, PyObject* key, PyObject* iv) {
    // <cipher>.new
    Ref make = global_attr(cipher, kNew);
    if (!make)
        return {};
    // key.encode("utf-8")
    Ref key_bytes = encode_utf8(key);
    if (!key_bytes)
        return {};
    // <cipher>.<mode>
    Ref mode_value = global_attr(cipher, mode);
    if (!mode_value)
        return {};
    if (!iv)
        return call(make.get(), key_bytes, mode_value);
    // iv.encode("utf-8")
    Ref iv_bytes = encode_utf8(iv);
    if (!iv_bytes)
        return {};
    return call(make.get(), key_bytes, mode_value, iv_bytes);
}

Ref encrypt(PyObject* cryptor, PyObject* value, const Name& cipher) {
    // cryptor.encrypt
    MethodRef encrypt_block = method_attr(cryptor, kEncrypt);
    if (!encrypt_block)
        return {};
    // pad
    Ref pad = global(globals::pad);
    if (!pad)
        return {};
    // value.encode("utf-8")
    Ref data = encode_utf8(value);
    if (!data)
        return {};
    // <cipher>.block_size
    Ref block_size = global_attr(cipher, kBlockSize);
    if (!block_size)
        return {};
    Ref padded = call(pad.get(), data, block_size);
    if (!padded)
        return {};
    data = Ref();  // a temporary: gone once the call returns
    return call(encrypt_block, padded);
}

Ref decrypt(PyObject* cryptor, PyObject* value) { return call_method(cryptor, kDecrypt, value); }

Ref unpad_decode(PyObject* text, const Name& cipher) {
    // unpad
    Ref unpad = global(globals::unpad);
    if (!unpad)
        return {};
    // <cipher>.block_size
    Ref block_size = global_attr(cipher, kBlockSize);
    if (!block_size)
        return {};
    Ref data = call(unpad.get(), text, block_size);
    if (!data)
        return {};
    return decode(data.get());
}

}  // namespace cm::pkcs7
