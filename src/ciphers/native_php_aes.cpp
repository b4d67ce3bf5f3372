// The PHP cipher through pycryptodome's compiled AES-CBC: the statements of
// _php_encrypt and _php_decrypt, for the calls that the guards let through,
// with what the library's Python layer and base64 give.
#include "ciphers/ciphers.h"

#include "common/scratch.h"
#include "common/text.h"

namespace cm {

namespace {

constexpr size_t kBlock = 16;

// base64s as the truth test sees it without asking: 0 or 1, -1 when it
// would have to ask.
int flag_of(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    return flag == Py_False || flag == Py_None ? 0 : -1;
}

// self._add_to_16 is the class's own, found as the class gives it: self is
// of the class itself, with the plain attribute lookup, and no
// _add_to_16 of its own in its dict.
bool own_add_to_16(const Call& c, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if ((PyObject*)type != pins::TarvikCryptMain.value().get() || type->tp_getattro != PyObject_GenericGetAttr ||
        !pins::add_to_16.holds(c))
        return false;
    Ref dict(PyObject_GenericGetDict(self, nullptr));
    return dict && PyDict_Contains(dict.get(), names::add_to_16.get()) == 0;
}

bool guards(const Call& c, Args a, int base64s, const Pin& codec) {
    return base64s >= 0 && PyUnicode_CheckExact(a[2]) && PyUnicode_CheckExact(a[3]) &&
           all_hold(c, {&pins::AES, &pins::AES_new, &pins::AES_MODE_CBC}) &&
           (!base64s || all_hold(c, {&pins::base64, &codec})) && own_add_to_16(c, a[0]) && native_ciphers();
}

// AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8")), then one
// whole-buffer operation; false where the library would refuse the key or IV.
bool crypt(Args a, bool encrypt, const uint8_t* in, uint8_t* out, size_t length) {
    Ref key = gbk_zero_padded(a[2]);
    Utf8 iv;
    return key && iv.view(a[3]) && iv.size() == kBlock &&
           raw::crypt(raw::Cipher::AES, raw::Mode::CBC, encrypt, bytes_of(key.get()),
                      (size_t)PyBytes_GET_SIZE(key.get()), iv.data(), in, out, length) == 0;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// str(base64.encodebytes(data), encoding="utf-8").replace("\n", ""): the
// standard alphabet, padded, on one line.
Ref base64_line(const uint8_t* data, size_t length) {
    Ref text(PyUnicode_New((Py_ssize_t)((length + 2) / 3 * 4), 127));
    if (!text)
        return {};
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = (uint32_t)data[i] << 16;
        if (i + 1 < length)
            group |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < length)
            group |= data[i + 2];
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = i + 1 < length ? kAlphabet[(group >> 6) & 63] : '=';
        *out++ = i + 2 < length ? kAlphabet[group & 63] : '=';
    }
    return text;
}

// The value of each character of the alphabet, 64 for any other.
struct Sextets {
    uint8_t of[256];
    constexpr Sextets() : of() {
        for (int i = 0; i < 256; i++)
            of[i] = 64;
        for (int i = 0; i < 64; i++)
            of[(uint8_t)kAlphabet[i]] = (uint8_t)i;
    }
};
constexpr Sextets kSextets;

// base64.decodebytes(text.encode()) for a text in the canonical form alone:
// whole groups of the standard alphabet, '=' only at the end. Anything the
// lenient decoder would have to skip or guess at is declined.
Ref base64_decoded(PyObject* text) {
    Py_ssize_t length = PyUnicode_GetLength(text);
    if (length == 0 || length % 4 != 0 || PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND)
        return {};
    const Py_UCS1* in = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t padding = (in[length - 1] == '=') + (in[length - 2] == '=');
    Ref data(PyBytes_FromStringAndSize(nullptr, length / 4 * 3 - padding));
    if (!data)
        return {};
    uint8_t* out = bytes_of_new(data.get());
    const uint8_t* of = kSextets.of;
    unsigned bad = 0;
    Py_ssize_t whole = length - (padding ? 4 : 0);  // groups without '='
    for (Py_ssize_t i = 0; i < whole; i += 4) {
        unsigned a = of[in[i]], b = of[in[i + 1]], c = of[in[i + 2]], d = of[in[i + 3]];
        bad |= a | b | c | d;
        uint32_t group = a << 18 | b << 12 | c << 6 | d;
        *out++ = (uint8_t)(group >> 16);
        *out++ = (uint8_t)(group >> 8);
        *out++ = (uint8_t)group;
    }
    if (padding) {
        unsigned a = of[in[whole]], b = of[in[whole + 1]], c = padding == 1 ? of[in[whole + 2]] : 0;
        bad |= a | b | c;
        uint32_t group = a << 18 | b << 12 | c << 6;
        *out++ = (uint8_t)(group >> 16);
        if (padding == 1)
            *out++ = (uint8_t)(group >> 8);
    }
    return bad & 64 ? Ref() : std::move(data);
}

}  // namespace

Fast php_encrypt_fast(const Call& c, Args a) {
    int base64s = flag_of(a[4]);
    if (!PyUnicode_CheckExact(a[1]) || !guards(c, a, base64s, pins::base64_encodebytes))
        return {};
    // result = cryptor.encrypt(self._add_to_16(value))
    Ref blocks = gbk_zero_padded(a[1]);
    if (!blocks || PyBytes_GET_SIZE(blocks.get()) == 0)
        return {};
    size_t length = (size_t)PyBytes_GET_SIZE(blocks.get());
    Ref result(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)length));
    if (!result || !crypt(a, true, bytes_of(blocks.get()), bytes_of_new(result.get()), length))
        return {};
    if (!base64s)
        return {std::move(result), 0};
    return {base64_line(bytes_of(result.get()), length), 1};
}

Fast php_decrypt_fast(const Call& c, Args a) {
    int base64s = flag_of(a[4]);
    bool value_ok = base64s > 0 ? PyUnicode_CheckExact(a[1]) : PyBytes_CheckExact(a[1]);
    if (!value_ok || !guards(c, a, base64s, pins::base64_decodebytes))
        return {};
    // value = base64.decodebytes(value.encode())
    Ref value = base64s ? base64_decoded(a[1]) : Ref::hold(a[1]);
    if (!value)
        return {};
    // text = cryptor.decrypt(value).decode("gbk"): whole blocks, at least one
    size_t length = (size_t)PyBytes_GET_SIZE(value.get());
    if (length == 0 || length % kBlock != 0)
        return {};
    Scratch plain(length);
    if (!plain || !crypt(a, false, bytes_of(value.get()), plain.data(), length))
        return {};
    value = Ref();
    // .decode("gbk"), then .rstrip("\0"): a zero byte is the character
    // "\0" in GBK and never part of another, so the text ends in the same
    // NULs as the bytes, and the bytes are decoded without them at once
    // (where the whole would not decode, neither does the rest).
    while (length > 0 && plain.data()[length - 1] == 0)
        length--;
    return {gbk_text(reinterpret_cast<const char*>(plain.data()), (Py_ssize_t)length), base64s};
}

}  // namespace cm
