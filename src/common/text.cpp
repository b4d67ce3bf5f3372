#include "common/text.h"

#include <cstring>

namespace cm {

namespace {
bool all_ascii(const char* bytes, Py_ssize_t size) {
    unsigned char any = 0;
    for (Py_ssize_t i = 0; i < size; i++)
        any |= (unsigned char)bytes[i];
    return any < 0x80;
}
}  // namespace

const char* ascii_chars(PyObject* text, Py_ssize_t& size) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text))
        return nullptr;
    size = PyUnicode_GET_LENGTH(text);
    return reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
}

bool Utf8::view(PyObject* value) {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_CheckExact(value)) {
        text = PyBytes_AS_STRING(value);
        size = PyBytes_GET_SIZE(value);
    } else if (!PyUnicode_CheckExact(value)) {
        return false;
    } else if ((text = ascii_chars(value, size)) != nullptr) {
        // read in place
    } else {
        encoded_ = Ref(PyUnicode_AsUTF8String(value));
        if (!encoded_)
            return false;
        text = PyBytes_AS_STRING(encoded_.get());
        size = PyBytes_GET_SIZE(encoded_.get());
    }
    data_ = reinterpret_cast<const uint8_t*>(text);
    size_ = (size_t)size;
    return true;
}

Ref encode(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsUTF8String(value));
    return call_method(value, names::encode);
}

Ref encode_utf8(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsUTF8String(value));
    return call_method(value, names::encode, names::utf_8.get());
}

Ref encode_utf8_kw(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsUTF8String(value));
    return call_method_kw(value, names::encode, names::kw_encoding, names::utf_8.get());
}

// GBK keeps ASCII as it is: an ASCII text is its own GBK form, and back,
// with no trip through the codec registry.
Ref encode_gbk(PyObject* value) {
    if (!PyUnicode_CheckExact(value))
        return call_method(value, names::encode, names::gbk.get());
    Py_ssize_t size;
    if (const char* text = ascii_chars(value, size))
        return Ref(PyBytes_FromStringAndSize(text, size));
    return Ref(PyUnicode_AsEncodedString(value, "gbk", nullptr));
}

Ref gbk_text(const char* bytes, Py_ssize_t size) {
    if (all_ascii(bytes, size))
        return Ref(PyUnicode_DecodeASCII(bytes, size, nullptr));
    return Ref(PyUnicode_Decode(bytes, size, "gbk", nullptr));
}

Ref decode_gbk(PyObject* data) {
    if (PyBytes_CheckExact(data))
        return gbk_text(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data));
    return call_method(data, names::decode, names::gbk.get());
}

Ref to_bytes(PyObject* value) {
    // isinstance(value, bytes), which also believes what an object's
    // __class__ claims (an exact str's cannot claim anything).
    int is_bytes = PyBytes_Check(value) ? 1 : PyUnicode_CheckExact(value) ? 0 : PyObject_IsInstance(value, (PyObject*)&PyBytes_Type);
    if (is_bytes < 0)
        return {};
    return is_bytes ? Ref::hold(value) : encode_utf8_kw(value);
}

namespace {
Ref decode_bytes(PyObject* bytes) {
    return Ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), nullptr));
}
}  // namespace

Ref decode(PyObject* data) {
    if (PyBytes_CheckExact(data))
        return decode_bytes(data);
    return call_method(data, names::decode);
}

Ref str_utf8(PyObject* data) {
    if (PyBytes_CheckExact(data))
        return decode_bytes(data);
    return Ref(PyUnicode_FromEncodedObject(data, "utf-8", nullptr));
}

namespace {
Py_ssize_t count_newlines(const char* bytes, const char* end) {
    Py_ssize_t n = 0;
    while ((bytes = (const char*)std::memchr(bytes, '\n', (size_t)(end - bytes))) != nullptr) {
        n++;
        bytes++;
    }
    return n;
}
}  // namespace

Ref one_line(PyObject* data) {
    if (PyBytes_CheckExact(data) && all_ascii(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data))) {
        // ASCII bytes (all that Base64 gives) decode to the same characters:
        // copy them once, the runs between line feeds whole.
        const char* bytes = PyBytes_AS_STRING(data);
        const char* end = bytes + PyBytes_GET_SIZE(data);
        Ref text(PyUnicode_New((end - bytes) - count_newlines(bytes, end), 127));
        if (!text)
            return {};
        char* out = (char*)PyUnicode_1BYTE_DATA(text.get());
        for (;;) {
            const char* line_end = (const char*)std::memchr(bytes, '\n', (size_t)(end - bytes));
            size_t run = (size_t)((line_end ? line_end : end) - bytes);
            std::memcpy(out, bytes, run);
            out += run;
            if (!line_end)
                return text;
            bytes = line_end + 1;
        }
    }
    Ref text = str_utf8(data);
    if (!text)
        return {};
    return Ref(PyUnicode_Replace(text.get(), names::newline.get(), names::empty.get(), -1));
}

}  // namespace cm
