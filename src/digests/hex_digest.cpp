// MD5 and the SHA family as hexadecimal text. MD5 takes bytes as they are
// and encodes anything else as UTF-8; the SHA methods always encode, so
// bytes are refused (they have no encode method).
#include "digests/digests.h"

#include "common/call.h"
#include "common/text.h"
#include "digests/letter_case.h"

namespace cm {

const HexDigest md5_hex{digest_names::md5, to_bytes, raw::Hash::MD5, "openssl_md5", 1024};
const HexDigest sha1_hex{digest_names::sha1, encode_utf8_kw, raw::Hash::SHA1, "openssl_sha1", 128};
const HexDigest sha256_hex{digest_names::sha256, encode_utf8_kw, raw::Hash::SHA256, "openssl_sha256", 2048};
const HexDigest sha384_hex{digest_names::sha384, encode_utf8_kw, raw::Hash::SHA384, "openssl_sha384", 256};
const HexDigest sha512_hex{digest_names::sha512, encode_utf8_kw, raw::Hash::SHA512, "openssl_sha512", 256};

Ref hex_digest(const HexDigest& d, Call& c, Args a) {
    PyObject *value = a[0], *fmt = a[1];
    // result = hashlib.<constructor>()
    c.at(1);
    Ref make = global_attr(c, names::hashlib, d.constructor);
    if (!make)
        return {};
    Ref result = call(make);
    if (!result)
        return {};
    // result.update(<to_bytes>(value))
    c.at(2);
    bool pure = PyUnicode_CheckExact(value) || PyBytes_CheckExact(value);
    if (!call_method_with(result, digest_names::update, d.to_bytes, value, pure))
        return {};
    // result = result.hexdigest()
    c.at(3);
    result = call_method(result, digest_names::hexdigest);
    if (!result)
        return {};
    return letter_case(c, 4, std::move(result), fmt);
}

}  // namespace cm
