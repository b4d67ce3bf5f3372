// MD5, HMAC-MD5 and the SHA family through pycryptodome's compiled hashes:
// the statements of the digest methods, for the calls that the guards let
// through, with the text that hashlib and hmac give.
#include "digests/digests.h"

#include "common/scratch.h"
#include "common/text.h"

namespace cm {

// Releases from 3.9 on; their libraries were compared up to 4.5.
NativeLibraries crypto_hashes("Crypto", 3009, 4005, raw::load_hashes);

namespace {

// What hashlib.<constructor>() is: a built-in function of OpenSSL's
// _hashlib (whose hash objects' methods are built in too).
constexpr Step hashlib_builtin(const char* name, const char* builtin) {
    return step::builtin("hashlib", name, "_hashlib", builtin);
}
const Step kMd5[] = {step::global_module("hashlib", "hashlib"), hashlib_builtin("md5", "openssl_md5")};
const Step kSha1[] = {step::global_module("hashlib", "hashlib"), hashlib_builtin("sha1", "openssl_sha1")};
const Step kSha256[] = {step::global_module("hashlib", "hashlib"), hashlib_builtin("sha256", "openssl_sha256")};
const Step kSha384[] = {step::global_module("hashlib", "hashlib"), hashlib_builtin("sha384", "openssl_sha384")};
const Step kSha512[] = {step::global_module("hashlib", "hashlib"), hashlib_builtin("sha512", "openssl_sha512")};

// hmac.new(key, value, digestmod=hashlib.md5).digest(): the entry points;
// the HMAC class and what it runs are the branch's recording's.
const Step kHmac[] = {
    step::global_module("hmac", "hmac"),
    step::function("hmac", "new"),
    step::global_module("hashlib", "hashlib"),
    hashlib_builtin("md5", "openssl_md5"),
};

Guard g_md5(kMd5), g_sha1(kSha1), g_sha256(kSha256), g_sha384(kSha384), g_sha512(kSha512), g_hmac(kHmac);

struct NativeDigest {
    const HexDigest& digest;
    Guard& guard;
};
const NativeDigest kMd5Digest{md5_hex, g_md5}, kSha1Digest{sha1_hex, g_sha1}, kSha256Digest{sha256_hex, g_sha256},
    kSha384Digest{sha384_hex, g_sha384}, kSha512Digest{sha512_hex, g_sha512};

// The fmt rule for an exact str or None: the branch it selects (0 as the
// digest gave it, 1 upper, 2 lower), -1 for anything else.
int letter_case_of(PyObject* fmt) {
    if (fmt == Py_None)
        return 0;
    if (!PyUnicode_CheckExact(fmt))
        return -1;
    if (PyUnicode_Compare(fmt, digest_names::upper.get()) == 0)
        return 1;
    return PyUnicode_Compare(fmt, digest_names::lower.get()) == 0 ? 2 : 0;
}

// An exact str of at most `longest` characters, or exact bytes where taken.
bool message_type_ok(PyObject* value, bool bytes_taken, size_t longest) {
    if (PyBytes_CheckExact(value))
        return bytes_taken && (size_t)PyBytes_GET_SIZE(value) <= longest;
    return PyUnicode_CheckExact(value) && (size_t)PyUnicode_GetLength(value) <= longest;
}

// The message bytes of an exact str (UTF-8) or exact bytes, up to `longest`.
bool message_of(Utf8& message, PyObject* value, size_t longest) {
    return message.view(value) && message.size() <= longest;
}

// HMAC-MD5 and MD5 alike (hmac runs hashlib's MD5 twice over the message).
constexpr size_t kLongestMac = 1024;

template <const NativeDigest& N>
int choose_hex(const Call& c, Args a) {
    const HexDigest& d = N.digest;
    int branch = letter_case_of(a[1]);
    bool ok = branch >= 0 && message_type_ok(a[0], d.to_bytes == to_bytes, d.longest) && N.guard.holds(c) &&
              crypto_hashes.ready();
    return ok ? branch : -1;
}

// result.hexdigest(), in the case that fmt asks for
template <const NativeDigest& N>
Ref hex(int branch, const Call&, Args a) {
    const HexDigest& d = N.digest;
    Utf8 message;
    uint8_t digest[64];
    if (!message_of(message, a[0], d.longest) ||
        without_gil(message.size(), [&] { return raw::digest(d.raw_hash, message.data(), message.size(), digest); }))
        return {};
    const char* digits = branch == 1 ? "0123456789ABCDEF" : "0123456789abcdef";
    size_t size = raw::digest_size(d.raw_hash);
    Ref result(PyUnicode_New((Py_ssize_t)(2 * size), 127));
    if (!result)
        return {};
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    for (size_t i = 0; i < size; i++) {
        out[2 * i] = (Py_UCS1)digits[digest[i] >> 4];
        out[2 * i + 1] = (Py_UCS1)digits[digest[i] & 15];
    }
    return result;
}

int choose_hmac(const Call& c, Args a) {
    int branch = letter_case_of(a[2]);
    bool ok = branch >= 0 && message_type_ok(a[0], true, kLongestMac) && message_type_ok(a[1], true, kLongestMac) &&
              g_hmac.holds(c) && crypto_hashes.ready();
    return ok ? branch : -1;
}

Ref hmac(int branch, const Call&, Args a) {
    Utf8 value, key;
    uint8_t mac[16];
    if (!message_of(value, a[0], kLongestMac) || !message_of(key, a[1], kLongestMac) ||
        raw::hmac_md5(key.data(), key.size(), value.data(), value.size(), mac) != 0)
        return {};
    // bytes.upper() and bytes.lower() change the ASCII letters alone
    for (uint8_t& byte : mac) {
        if (branch == 1 && byte >= 'a' && byte <= 'z')
            byte = (uint8_t)(byte - 'a' + 'A');
        else if (branch == 2 && byte >= 'A' && byte <= 'Z')
            byte = (uint8_t)(byte - 'A' + 'a');
    }
    return Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mac), sizeof mac));
}

}  // namespace

const SpecialisedPath md5_path = specialised_path<3>(choose_hex<kMd5Digest>, hex<kMd5Digest>, &crypto_hashes);
const SpecialisedPath sha1_path = specialised_path<3>(choose_hex<kSha1Digest>, hex<kSha1Digest>, &crypto_hashes);
const SpecialisedPath sha256_path =
    specialised_path<3>(choose_hex<kSha256Digest>, hex<kSha256Digest>, &crypto_hashes);
const SpecialisedPath sha384_path =
    specialised_path<3>(choose_hex<kSha384Digest>, hex<kSha384Digest>, &crypto_hashes);
const SpecialisedPath sha512_path =
    specialised_path<3>(choose_hex<kSha512Digest>, hex<kSha512Digest>, &crypto_hashes);
const SpecialisedPath md5_hmac_path = specialised_path<3>(choose_hmac, hmac, &crypto_hashes);

}  // namespace cm
