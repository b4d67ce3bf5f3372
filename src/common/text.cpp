#include "common/text.h"

namespace cm {

namespace {
const Name kEncode("encode");
const Name kUtf8("utf-8");
const Name kGbk("gbk");
const Name kNewline("\n");
const Name kEmpty("");
const KwNames kEncoding({"encoding"});
}  // namespace

Ref encode(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsUTF8String(value));
    return call_method(value, kEncode);
}

Ref encode_utf8(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsUTF8String(value));
    return call_method(value, kEncode, kUtf8.get());
}

Ref encode_utf8_kw(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsUTF8String(value));
    return call_method_kw(value, kEncode, kEncoding, kUtf8.get());
}

Ref encode_gbk(PyObject* value) {
    if (PyUnicode_CheckExact(value))
        return Ref(PyUnicode_AsEncodedString(value, "gbk", nullptr));
    return call_method(value, kEncode, kGbk.get());
}

Ref to_bytes(PyObject* value) {
    if (PyBytes_Check(value))
        return Ref::borrow(value);
    return encode_utf8_kw(value);
}

Ref str_utf8(PyObject* data) {
    if (PyBytes_CheckExact(data))
        return Ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), nullptr));
    return Ref(PyUnicode_FromEncodedObject(data, "utf-8", nullptr));
}

Ref one_line(PyObject* data) {
    if (PyBytes_CheckExact(data)) {
        // ASCII bytes (all that Base64 gives) decode to the same characters:
        // copy them once, leaving the line feeds out.
        const char* bytes = PyBytes_AS_STRING(data);
        Py_ssize_t size = PyBytes_GET_SIZE(data), kept = size;
        bool ascii = true;
        for (Py_ssize_t i = 0; i < size; i++) {
            ascii &= (unsigned char)bytes[i] < 0x80;
            kept -= bytes[i] == '\n';
        }
        if (ascii) {
            Ref text(PyUnicode_New(kept, 127));
            if (!text)
                return {};
            Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
            for (Py_ssize_t i = 0; i < size; i++)
                if (bytes[i] != '\n')
                    *out++ = (Py_UCS1)bytes[i];
            return text;
        }
    }
    Ref text = str_utf8(data);
    if (!text)
        return {};
    return Ref(PyUnicode_Replace(text.get(), kNewline.get(), kEmpty.get(), -1));
}

}  // namespace cm
