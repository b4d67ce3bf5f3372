// AES-CBC as PHP peers use it: GBK text and key, zero-padded through
// self._add_to_16, a UTF-8 IV, and the ciphertext as raw bytes or one line
// of Base64.
#include "ciphers/ciphers.h"

#include "common/call.h"
#include "common/text.h"
#include "common/truth.h"

namespace cm {

// text.rstrip("\0")
Ref rstrip_nul(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t end = PyUnicode_GetLength(text);
        while (end > 0 && PyUnicode_ReadChar(text, end - 1) == 0)
            end--;
        return Ref(PyUnicode_Substring(text, 0, end));
    }
    Ref nul(PyUnicode_FromStringAndSize("", 1));
    if (!nul)
        return {};
    return call_method(text, cipher_names::rstrip, nul);
}

namespace {

// AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8"))
Ref new_cryptor(Call& c, PyObject* self, PyObject* key, PyObject* iv) {
    // AES.new
    Ref make = global_attr(c, names::AES, cipher_names::new_);
    if (!make)
        return {};
    // self._add_to_16(key)
    Ref key_bytes = call_method(self, cipher_names::add_to_16, key);
    if (!key_bytes)
        return {};
    // AES.MODE_CBC
    Ref mode = global_attr(c, names::AES, cipher_names::MODE_CBC);
    if (!mode)
        return {};
    // iv.encode("utf-8")
    Ref iv_bytes = encode_utf8(iv);
    if (!iv_bytes)
        return {};
    return call(make, key_bytes, mode, iv_bytes);
}

}  // namespace

// _php_encrypt(self, value, key, iv, base64s=False)
Ref php_encrypt(Call& c, Args a) {
    PyObject *self = a[0], *value = a[1], *key = a[2], *iv = a[3], *base64s = a[4];
    // cryptor = AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8"))
    c.at(1);
    Ref cryptor = new_cryptor(c, self, key, iv);
    if (!cryptor)
        return {};
    // result = cryptor.encrypt(self._add_to_16(value))
    c.at(2);
    Ref encrypt = attr(cryptor, cipher_names::encrypt);
    if (!encrypt)
        return {};
    Ref blocks = call_method(self, cipher_names::add_to_16, value);
    if (!blocks)
        return {};
    Ref result = call(encrypt, blocks);
    if (!result)
        return {};
    blocks = Ref();  // a temporary: gone once the call returns
    // if base64s:
    c.at(3);
    int as_base64 = truth(base64s);
    if (as_base64 < 0)
        return {};
    if (!as_base64)
        return result;
    // result = str(base64.encodebytes(result), encoding="utf-8").replace("\n", "")
    c.at(4);
    Ref encodebytes = global_attr(c, names::base64, cipher_names::encodebytes);
    if (!encodebytes)
        return {};
    Ref lines = call(encodebytes, result);
    if (!lines)
        return {};
    return one_line(lines.get());
}

// _php_decrypt(self, value, key, iv, base64s=False)
Ref php_decrypt(Call& c, Args a) {
    PyObject *self = a[0], *key = a[2], *iv = a[3], *base64s = a[4];
    Ref value = Ref::hold(a[1]);
    // cryptor = AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8"))
    c.at(1);
    Ref cryptor = new_cryptor(c, self, key, iv);
    if (!cryptor)
        return {};
    // if base64s:
    c.at(2);
    int as_base64 = truth(base64s);
    if (as_base64 < 0)
        return {};
    if (as_base64) {
        // value = base64.decodebytes(value.encode())
        c.at(3);
        Ref decodebytes = global_attr(c, names::base64, cipher_names::decodebytes);
        if (!decodebytes)
            return {};
        Ref data = encode(value.get());
        if (!data)
            return {};
        value = call(decodebytes, data);
        if (!value)
            return {};
        data = Ref();  // a temporary: gone once the call returns
    }
    // text = cryptor.decrypt(value).decode("gbk")
    c.at(4);
    Ref plain = call_method(cryptor, cipher_names::decrypt, value);
    if (!plain)
        return {};
    Ref text = decode_gbk(plain.get());
    if (!text)
        return {};
    plain = Ref();  // a temporary: gone once the call returns
    // result = text.rstrip("\0")
    c.at(5);
    return rstrip_nul(text.get());
}

}  // namespace cm
