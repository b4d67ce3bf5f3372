// Short texts encrypted and decrypted with RSA and PKCS#1 v1.5 padding, the
// ciphertext raw or as hexadecimal digits.
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/text.h"
#include "common/truth.h"
#include "common/unpack.h"

namespace cm {

namespace {
const Name kEncrypt("encrypt");
const Name kDecrypt("decrypt");
const Name kRsaKeys("_rsa_keys");
}  // namespace

// a: self, value, pub_key, hexs
Ref rsa_encrypt(Frame& f, Args a) {
    PyObject* self = a[0];
    PyObject* value = a[1];
    PyObject* hexs = a[3];
    Ref pub_key = Ref::borrow(a[2]);
    Ref pri_key = Ref::borrow(Py_None);

    // if pub_key:   (else generate a pair below)
    f.line = 161;
    int given = truth(pub_key.get());
    if (given < 0)
        return {};
    if (!given) {
        // pub_key, pri_key = self._rsa_keys()
        f.line = 164;
        Ref pair = call_method(self, kRsaKeys);
        if (!pair)
            return {};
        Ref keys[2];
        if (unpack(pair.get(), keys, 2) < 0)
            return {};
        pub_key = std::move(keys[0]);
        pri_key = std::move(keys[1]);
    }

    // text = rsa.encrypt(value.encode(), pub_key)
    f.line = 165;
    Ref encrypt = global_attr(globals::rsa, kEncrypt);
    if (!encrypt)
        return {};
    Ref message = encode(value);
    if (!message)
        return {};
    Ref text = call(encrypt.get(), message, pub_key);
    if (!text)
        return {};

    // result = b2a_hex(text) if hexs else text
    f.line = 166;
    int hex = truth(hexs);
    if (hex < 0)
        return {};
    Ref result;
    if (hex) {
        Ref b2a_hex = global(globals::b2a_hex);
        if (!b2a_hex)
            return {};
        result = call(b2a_hex.get(), text);
        if (!result)
            return {};
    } else {
        result = std::move(text);
    }

    // return (result, pub_key, pri_key) if pri_key else result
    f.line = 167;
    int generated = truth(pri_key.get());
    if (generated < 0)
        return {};
    if (!generated)
        return result;
    return Ref(PyTuple_Pack(3, result.get(), pub_key.get(), pri_key.get()));
}

// a: value, pri_key, hexs
Ref rsa_decrypt(Frame& f, Args a) {
    Ref value = Ref::borrow(a[0]);
    PyObject* pri_key = a[1];
    PyObject* hexs = a[2];

    // if hexs: value = a2b_hex(value)
    f.line = 171;
    int hex = truth(hexs);
    if (hex < 0)
        return {};
    if (hex) {
        Ref a2b_hex = global(globals::a2b_hex);
        if (!a2b_hex)
            return {};
        value = call(a2b_hex.get(), value);
        if (!value)
            return {};
    }

    // result = rsa.decrypt(value, pri_key).decode()
    f.line = 172;
    Ref decrypt = global_attr(globals::rsa, kDecrypt);
    if (!decrypt)
        return {};
    Ref message = call(decrypt.get(), value, pri_key);
    if (!message)
        return {};
    return decode(message.get());
}

}  // namespace cm
