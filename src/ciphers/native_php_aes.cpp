// The PHP cipher through pycryptodome's compiled AES-CBC: the statements of
// _php_encrypt and _php_decrypt, for the calls that the guards let through,
// with what the library's Python layer and base64 give.
#include "ciphers/ciphers.h"

#include "ciphers/gbk_zero_padding.h"
#include "common/scratch.h"
#include "common/text.h"
#include "common/base64_codec.h"

namespace cm {

namespace {

constexpr size_t kBlock = 16;

// self._add_to_16, as the class gives it: the class's own staticmethod
// around the module's own function (step 1 reads it from the class of step 0).
const Step kOwnPadding[] = {
    step::module_class_global("TarvikCryptMain"),
    step::module_method(0, "_add_to_16", add_to_16),
};
Guard g_own_padding(kOwnPadding);

// base64s as the truth test sees it without asking: 0 or 1, -1 when it
// would have to ask.
int flag_of(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    return flag == Py_False || flag == Py_None ? 0 : -1;
}

// self._add_to_16 is the class's own, as the guard of kOwnPadding checks
// it, found without running anyone's code: self is of the class itself,
// whose attribute lookup is the plain one, and its own dict has no entry
// of that name. The dict is searched only when all its keys are exact str:
// comparing another key (a str subclass with an __eq__ of its own) could
// run code, which could rebind what the guards have just checked.
bool own_add_to_16(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (!is_module_class(reinterpret_cast<PyObject*>(type)) ||
        PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
        return false;
    Ref dict(PyObject_GenericGetDict(self, nullptr));
    if (!dict)
        return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &position, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    return PyDict_Contains(dict.get(), cipher_names::add_to_16.get()) == 0;
}

// The branch of a call (the form, raw or Base64), where the arguments and
// every guard allow.
int choose(const Call& c, Args a, bool encrypt) {
    int base64s = flag_of(a[4]);
    bool value_ok = encrypt || base64s > 0 ? PyUnicode_CheckExact(a[1]) : PyBytes_CheckExact(a[1]);
    bool ok = base64s >= 0 && value_ok && PyUnicode_CheckExact(a[2]) && PyUnicode_CheckExact(a[3]) &&
              own_add_to_16(a[0]) && aes_guard().holds(c) && cbc_guard().holds(c) && g_own_padding.holds(c) &&
              (!base64s || (encrypt ? encodebytes_guard() : decodebytes_guard()).holds(c)) && crypto_ciphers.ready();
    PyErr_Clear();
    return ok ? base64s : -1;
}

// AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8")), then one
// whole-buffer operation; false where the library would refuse the key or IV.
bool crypt(Args a, bool encrypt, const uint8_t* in, uint8_t* out, size_t length) {
    Ref key = gbk_zero_padded(a[2]);
    Utf8 iv;
    if (!key || !iv.view(a[3]) || iv.size() != kBlock)
        return false;
    const uint8_t* key_data = bytes_of(key.get());
    size_t key_size = (size_t)PyBytes_GET_SIZE(key.get());
    return without_gil(length, [&] {
               return raw::crypt(raw::Cipher::AES, raw::Mode::CBC, encrypt, key_data, key_size, iv.data(), in, out,
                                 length);
           }) == 0;
}

// result = cryptor.encrypt(self._add_to_16(value)), then for base64s
// str(base64.encodebytes(result), encoding="utf-8").replace("\n", "")
Ref encrypt(int base64s, const Call&, Args a) {
    Ref blocks = gbk_zero_padded(a[1]);
    if (!blocks || PyBytes_GET_SIZE(blocks.get()) == 0)
        return {};
    size_t length = (size_t)PyBytes_GET_SIZE(blocks.get());
    Ref result(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)length));
    if (!result || !crypt(a, true, bytes_of(blocks.get()), bytes_of_new(result.get()), length))
        return {};
    if (!base64s)
        return result;
    return base64_line(bytes_of(result.get()), length);
}

// value = base64.decodebytes(value.encode()) for base64s, then
// text = cryptor.decrypt(value).decode("gbk"); result = text.rstrip("\0")
Ref decrypt(int base64s, const Call&, Args a) {
    Utf8 value;  // the bytes, or the text's UTF-8
    if (!value.view(a[1]))
        return {};
    Scratch decoded(base64s ? base64_bound(value.size()) : 0);
    ptrdiff_t size = !decoded ? -1 : !base64s ? (ptrdiff_t)value.size()
                                              : base64_decode(value.data(), value.size(), decoded.data());
    // whole blocks, at least one
    if (size <= 0 || size % (ptrdiff_t)kBlock != 0)
        return {};
    size_t length = (size_t)size;
    Scratch plain(length);
    if (!plain || !crypt(a, false, base64s ? decoded.data() : value.data(), plain.data(), length))
        return {};
    // A zero byte is the character "\0" in GBK and never part of another,
    // so the text ends in the same NULs as the bytes, and the bytes are
    // decoded without them at once (where the whole would not decode,
    // neither does the rest).
    while (length > 0 && plain.data()[length - 1] == 0)
        length--;
    return gbk_text(reinterpret_cast<const char*>(plain.data()), (Py_ssize_t)length);
}

}  // namespace

const SpecialisedPath php_encrypt_path = specialised_path<2>(
    [](const Call& c, Args a) { return choose(c, a, true); }, encrypt, &crypto_ciphers);
const SpecialisedPath php_decrypt_path = specialised_path<2>(
    [](const Call& c, Args a) { return choose(c, a, false); }, decrypt, &crypto_ciphers);

}  // namespace cm
