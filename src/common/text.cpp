#include "common/text.h"

namespace cm {

namespace {
const Name kEncode("encode");
const Name kUtf8("utf-8");
const Name kGbk("gbk");
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

}  // namespace cm
