// MD5, HMAC-MD5 and the SHA family through pycryptodome's compiled hashes:
// the statements of the digest methods, for the calls that the guards let
// through, with the text that hashlib and hmac give.
#include "digests/digests.h"

#include "common/native_library.h"
#include "common/scratch.h"
#include "common/text.h"

namespace cm {

namespace {

bool native_hashes() {
    static int loaded = 0;
    return loaded_once(loaded, names::Crypto, raw::load_hashes);
}

// The fmt rule for an exact str or None: the variant it selects (0 as the
// digest gave it, 1 upper, 2 lower), -1 for anything else.
int letter_case_of(PyObject* fmt) {
    if (fmt == Py_None)
        return 0;
    if (!PyUnicode_CheckExact(fmt))
        return -1;
    if (PyUnicode_Compare(fmt, names::upper.get()) == 0)
        return 1;
    return PyUnicode_Compare(fmt, names::lower.get()) == 0 ? 2 : 0;
}

// The message bytes of an exact str (UTF-8), or of exact bytes where taken,
// up to `longest` bytes.
bool message_of(Utf8& message, PyObject* value, bool bytes_taken, size_t longest) {
    if (PyBytes_CheckExact(value) && !bytes_taken)
        return false;
    if (PyUnicode_CheckExact(value) && (size_t)PyUnicode_GetLength(value) > longest)
        return false;
    return message.view(value) && message.size() <= longest;
}

// HMAC-MD5 and MD5 alike (hmac runs hashlib's MD5 twice over the message).
constexpr size_t kLongestMac = 1024;

}  // namespace

Fast hex_digest_fast(const HexDigest& d, const Call& c, Args a) {
    int variant = letter_case_of(a[1]);
    if (variant < 0 || !all_hold(c, {&pins::hashlib, &d.constructor_pin}) || !native_hashes())
        return {};
    Utf8 message;
    uint8_t digest[64];
    if (!message_of(message, a[0], d.to_bytes == to_bytes, d.longest) ||
        raw::digest(d.raw_hash, message.data(), message.size(), digest) != 0)
        return {};
    // result.hexdigest(), in the case that fmt asks for
    const char* digits = variant == 1 ? "0123456789ABCDEF" : "0123456789abcdef";
    size_t size = raw::digest_size(d.raw_hash);
    Ref result(PyUnicode_New((Py_ssize_t)(2 * size), 127));
    if (!result)
        return {};
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    for (size_t i = 0; i < size; i++) {
        out[2 * i] = (Py_UCS1)digits[digest[i] >> 4];
        out[2 * i + 1] = (Py_UCS1)digits[digest[i] & 15];
    }
    return {std::move(result), variant};
}

Fast md5_hmac_fast(const Call& c, Args a) {
    int variant = letter_case_of(a[2]);
    if (variant < 0 || !all_hold(c, {&pins::hmac, &pins::hmac_new, &pins::hashlib, &pins::hashlib_md5}) ||
        !native_hashes())
        return {};
    Utf8 value, key;
    uint8_t mac[16];
    if (!message_of(value, a[0], true, kLongestMac) || !message_of(key, a[1], true, kLongestMac) ||
        raw::hmac_md5(key.data(), key.size(), value.data(), value.size(), mac) != 0)
        return {};
    // bytes.upper() and bytes.lower() change the ASCII letters alone
    for (uint8_t& byte : mac) {
        if (variant == 1 && byte >= 'a' && byte <= 'z')
            byte = (uint8_t)(byte - 'a' + 'A');
        else if (variant == 2 && byte >= 'A' && byte <= 'Z')
            byte = (uint8_t)(byte - 'A' + 'a');
    }
    return {Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mac), sizeof mac)), variant};
}

}  // namespace cm
