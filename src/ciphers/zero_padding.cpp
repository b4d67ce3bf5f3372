// Zero padding for the PHP-compatible cipher: the GBK form of a text,
// followed by zero bytes up to a multiple of 16.
#include "ciphers/ciphers.h"

#include "common/text.h"

#include <cstring>

namespace cm {

namespace {
constexpr Py_ssize_t kBlock = 16;

// The bytes followed by zero bytes up to a multiple of 16, in one
// allocation: what appending one zero byte at a time gives, without a copy
// per byte.
Ref zero_filled(const char* bytes, Py_ssize_t length) {
    Py_ssize_t padded = (length + kBlock - 1) / kBlock * kBlock;
    Ref result(PyBytes_FromStringAndSize(nullptr, padded));
    if (!result)
        return {};
    char* out = PyBytes_AS_STRING(result.get());
    std::memcpy(out, bytes, (size_t)length);
    std::memset(out + length, 0, (size_t)(padded - length));
    return result;
}
}  // namespace

Ref gbk_zero_padded(PyObject* text) {
    Py_ssize_t length;
    if (const char* chars = ascii_chars(text, length))  // its own GBK: one copy, padded
        return zero_filled(chars, length);
    Ref value = encode_gbk(text);
    if (!value)
        return {};
    length = PyBytes_GET_SIZE(value.get());
    return length % kBlock == 0 ? std::move(value) : zero_filled(PyBytes_AS_STRING(value.get()), length);
}

// _add_to_16(value)
Ref add_to_16(Call& c, Args a) {
    // value = value.encode("gbk")
    c.at(2);
    Ref value = encode_gbk(a[0]);
    if (!value)
        return {};
    // while len(value) % 16 != 0:
    //     value += "\0".encode()
    // Plain bytes get all their zeros at once; whatever else an encode
    // override returned goes through `+=` until it is plain bytes.
    for (;;) {
        c.at(3);
        Py_ssize_t length = PyObject_Length(value.get());
        if (length < 0)
            return {};
        if (length % kBlock == 0)
            return value;
        c.at(4);
        if (PyBytes_CheckExact(value.get()))
            return zero_filled(PyBytes_AS_STRING(value.get()), length);
        static const char nul = '\0';
        Ref zero(PyBytes_FromStringAndSize(&nul, 1));
        if (!zero)
            return {};
        value = Ref(PyNumber_InPlaceAdd(value.get(), zero.get()));
        if (!value)
            return {};
    }
}

}  // namespace cm
