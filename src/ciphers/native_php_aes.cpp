// The PHP cipher through pycryptodome's compiled AES-CBC: the statements of
// _php_encrypt and _php_decrypt, for the calls that the guards let through,
// with what the library's Python layer and base64 give.
#include "ciphers/ciphers.h"

#include "common/scratch.h"
#include "common/text.h"

namespace cm {

namespace {

constexpr size_t kBlock = 16;

// self._add_to_16, as the class gives it: the class's own staticmethod
// around the module's own function (step 1 reads it from the class of step 0).
const Step kOwnPadding[] = {
    step::module_class_global("TarvikCryptMain"),
    step::module_method(0, "_add_to_16", add_to_16),
};
// base64.encodebytes and decodebytes, and what they call.
const Step kEncodeBase64[] = {
    step::global_module("base64", "base64"),
    step::function("base64", "encodebytes"),
    step::function("base64", "_input_type_check"),
    step::optional(step::value("base64", "MAXBINSIZE", "57")),
    step::module_of("base64", "binascii", "binascii"),
    step::builtin("binascii", "b2a_base64", "binascii", "b2a_base64"),
};
const Step kDecodeBase64[] = {
    step::global_module("base64", "base64"),
    step::function("base64", "decodebytes"),
    step::function("base64", "_input_type_check"),
    step::module_of("base64", "binascii", "binascii"),
    step::builtin("binascii", "a2b_base64", "binascii", "a2b_base64"),
};
Guard g_own_padding(kOwnPadding), g_encode_base64(kEncodeBase64), g_decode_base64(kDecodeBase64);

// base64s as the truth test sees it without asking: 0 or 1, -1 when it
// would have to ask.
int flag_of(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    return flag == Py_False || flag == Py_None ? 0 : -1;
}

// self._add_to_16 is the module's own _add_to_16: self is of the class
// itself, whose lookup is the plain one, and with the class's staticmethod
// as it should be, that lookup runs nothing of anyone's and gives the
// function unless self's own dict has another.
bool own_add_to_16(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (reinterpret_cast<PyObject*>(type) != g_own_padding.object(0).get() ||
        PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
        return false;
    Ref found(PyObject_GetAttr(self, cipher_names::add_to_16.get()));
    return found && is_module_method(found.get(), add_to_16);
}

// The branch of a call (the form, raw or Base64), where the arguments and
// every guard allow.
int choose(const Call& c, Args a, bool encrypt) {
    int base64s = flag_of(a[4]);
    bool value_ok = encrypt || base64s > 0 ? PyUnicode_CheckExact(a[1]) : PyBytes_CheckExact(a[1]);
    bool ok = base64s >= 0 && value_ok && PyUnicode_CheckExact(a[2]) && PyUnicode_CheckExact(a[3]) &&
              aes_guard().holds(c) && cbc_guard().holds(c) && g_own_padding.holds(c) && own_add_to_16(a[0]) &&
              (!base64s || (encrypt ? g_encode_base64 : g_decode_base64).holds(c)) && crypto_ciphers.ready();
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
    Ref value = base64s ? base64_decoded(a[1]) : Ref::hold(a[1]);
    if (!value)
        return {};
    // whole blocks, at least one
    size_t length = (size_t)PyBytes_GET_SIZE(value.get());
    if (length == 0 || length % kBlock != 0)
        return {};
    Scratch plain(length);
    if (!plain || !crypt(a, false, bytes_of(value.get()), plain.data(), length))
        return {};
    value = Ref();
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
