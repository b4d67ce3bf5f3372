// Base64 text, MD5 and HMAC-MD5, and the SHA family.
#pragma once

#include "common/body.h"
#include "common/names.h"
#include "common/specialised.h"
#include "digests/raw_hashes.h"

namespace cm {

namespace digest_names {
// What the digest methods read of hashlib, hmac, base64 and the results.
inline Name md5("md5"), sha1("sha1"), sha256("sha256"), sha384("sha384"), sha512("sha512"), update("update"),
    hexdigest("hexdigest"), digest("digest"), new_("new"), upper("upper"), lower("lower"),
    encodebytes("encodebytes"), decodebytes("decodebytes");
inline KwNames kw_digestmod({"digestmod"});
}  // namespace digest_names

Ref base64_encrypt(Call& c, Args a);
Ref base64_decrypt(Call& c, Args a);

// The same computed here, for an exact str: one branch each.
extern const SpecialisedPath base64_encrypt_path, base64_decrypt_path;

// How a digest method turns its `value` into the message bytes.
using ToBytes = Ref (*)(PyObject* value);

// A hexadecimal digest method (MD5 and the SHA family): its hashlib
// constructor and its text-to-bytes step; for the specialised path, the
// compiled hash, the name of the built-in function the constructor is, and
// the longest message it takes: past that, hashlib's assembly outruns
// pycryptodome's portable C by more than the Python layers cost.
struct HexDigest {
    const Name& constructor;
    ToBytes to_bytes;
    raw::Hash raw_hash;
    const char* builtin;  // in _hashlib
    size_t longest;
};
extern const HexDigest md5_hex, sha1_hex, sha256_hex, sha384_hex, sha512_hex;

// _<digest>_encrypt(value, fmt):
//     result = hashlib.<constructor>()
//     result.update(<to_bytes>(value))
//     result = result.hexdigest()
// then the fmt rule.
Ref hex_digest(const HexDigest& d, Call& c, Args a);

template <const HexDigest& D>
Ref hex_digest(Call& c, Args a) { return hex_digest(D, c, a); }

Ref md5_hmac_encrypt(Call& c, Args a);

// The same through pycryptodome's compiled hashes, for an exact str text
// (or exact bytes, where the method takes them) and an exact str or None
// fmt: one branch per letter case (as the digest gives it, upper, lower).
extern const SpecialisedPath md5_path, sha1_path, sha256_path, sha384_path, sha512_path, md5_hmac_path;

}  // namespace cm
