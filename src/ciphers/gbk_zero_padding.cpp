#include "ciphers/gbk_zero_padding.h"

#include "common/call.h"
#include "common/text.h"

#include <cstring>

namespace cm {

namespace {
constexpr Py_ssize_t kBlock = 16;
}  // namespace

Ref zero_padded(const char* bytes, Py_ssize_t length) {
    Py_ssize_t padded = (length + kBlock - 1) / kBlock * kBlock;
    Ref result(PyBytes_FromStringAndSize(nullptr, padded));
    if (!result)
        return {};
    char* out = PyBytes_AS_STRING(result.get());
    std::memcpy(out, bytes, (size_t)length);
    std::memset(out + length, 0, (size_t)(padded - length));
    return result;
}

namespace {

bool attribute_is(PyObject* obj, const char* attribute, const char* expected) {
    Ref value(PyObject_GetAttrString(obj, attribute));
    return value && PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

// The encode function of the codec that the registry gives for "gbk", kept
// from the first text that needs it, where it is the interpreter's own CJK
// codec (the bound encode of a _multibytecodec.MultibyteCodec): finding it
// by name costs more than the encoding of a short text. Where the registry
// gives anything else, each text goes through the registry as str.encode
// does (Py_None is kept); where finding out failed (no memory), the next
// text asks again. The module already takes an ASCII text for its own GBK
// form: the registry's "gbk" is the interpreter's GBK.
PyObject* g_encoder = nullptr;

PyObject* gbk_encoder() {
    if (!g_encoder) {
        Ref encoder(PyCodec_Encoder("gbk"));
        PyObject* codec = encoder && PyCFunction_Check(encoder.get()) ? PyCFunction_GetSelf(encoder.get()) : nullptr;
        bool own = codec && attribute_is(encoder.get(), "__name__", "encode") &&
                   attribute_is((PyObject*)Py_TYPE(codec), "__module__", "_multibytecodec") &&
                   attribute_is((PyObject*)Py_TYPE(codec), "__qualname__", "MultibyteCodec");
        bool failed = PyErr_Occurred() != nullptr;
        PyErr_Clear();
        if (own || !failed)
            g_encoder = keep(own ? std::move(encoder) : Ref::hold(Py_None));
    }
    return g_encoder == Py_None ? nullptr : g_encoder;
}

// text.encode("gbk") of an exact str that is not all ASCII
Ref encoded(PyObject* text) {
    PyObject* encoder = gbk_encoder();
    if (!encoder)
        return Ref(PyUnicode_AsEncodedString(text, "gbk", nullptr));
    // (bytes, characters read), as the codec interface has it
    Ref pair = call(Borrowed(encoder), text);
    if (!pair)
        return {};
    if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
        !PyBytes_CheckExact(PyTuple_GET_ITEM(pair.get(), 0)))
        return {};  // not what that codec gives: left to the generic path
    return Ref::hold(PyTuple_GET_ITEM(pair.get(), 0));
}

}  // namespace

Ref gbk_zero_padded(PyObject* text) {
    Py_ssize_t length;
    if (const char* chars = ascii_chars(text, length))  // its own GBK: one copy, padded
        return zero_padded(chars, length);
    Ref value = encoded(text);
    if (!value)
        return {};
    length = PyBytes_GET_SIZE(value.get());
    return length % kBlock == 0 ? std::move(value) : zero_padded(PyBytes_AS_STRING(value.get()), length);
}

}  // namespace cm
