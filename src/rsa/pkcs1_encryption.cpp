// Short texts encrypted and decrypted with RSA and PKCS#1 v1.5 padding, the
// ciphertext raw or as hexadecimal digits.
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/text.h"
#include "common/truth.h"
#include "common/unpack.h"

namespace cm {

// a: self, value, pub_key, hexs
Ref rsa_encrypt(Call& c, Args a) {
    PyObject* self = a[0];
    PyObject* value = a[1];
    PyObject* hexs = a[3];
    Ref pub_key = Ref::hold(a[2]);
    Ref pri_key = Ref::hold(Py_None);

    // if pub_key:   (else generate a pair below)
    c.at(1);
    int given = truth(pub_key.get());
    if (given < 0)
        return {};
    if (!given) {
        // pub_key, pri_key = self._rsa_keys()
        c.at(4);
        Ref pair = call_method(self, names::rsa_keys);
        if (!pair)
            return {};
        Ref keys[2];
        if (unpack(pair.get(), keys, 2) < 0)
            return {};
        pub_key = std::move(keys[0]);
        pri_key = std::move(keys[1]);
    }

    // text = rsa.encrypt(value.encode(), pub_key)
    c.at(5);
    Ref encrypt = global_attr(c, names::rsa, names::encrypt);
    if (!encrypt)
        return {};
    Ref message = encode(value);
    if (!message)
        return {};
    Ref text = call(encrypt, message, pub_key);
    if (!text)
        return {};

    // result = b2a_hex(text) if hexs else text
    c.at(6);
    int hex = truth(hexs);
    if (hex < 0)
        return {};
    Ref result;
    if (hex) {
        Ref b2a_hex = global(c, names::b2a_hex);
        if (!b2a_hex)
            return {};
        result = call(b2a_hex, text);
        if (!result)
            return {};
    } else {
        result = std::move(text);
    }

    // return (result, pub_key, pri_key) if pri_key else result
    c.at(7);
    int generated = truth(pri_key.get());
    if (generated < 0)
        return {};
    if (!generated)
        return result;
    return Ref(PyTuple_Pack(3, result.get(), pub_key.get(), pri_key.get()));
}

// a: value, pri_key, hexs
Ref rsa_decrypt(Call& c, Args a) {
    Ref value = Ref::hold(a[0]);
    PyObject* pri_key = a[1];
    PyObject* hexs = a[2];

    // if hexs: value = a2b_hex(value)
    c.at(2);
    int hex = truth(hexs);
    if (hex < 0)
        return {};
    if (hex) {
        Ref a2b_hex = global(c, names::a2b_hex);
        if (!a2b_hex)
            return {};
        value = call(a2b_hex, value);
        if (!value)
            return {};
    }

    // result = rsa.decrypt(value, pri_key).decode()
    c.at(3);
    Ref decrypt = global_attr(c, names::rsa, names::decrypt);
    if (!decrypt)
        return {};
    Ref message = call(decrypt, value, pri_key);
    if (!message)
        return {};
    return decode(message.get());
}

}  // namespace cm
