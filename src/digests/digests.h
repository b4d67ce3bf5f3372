// Base64 text, MD5 and HMAC-MD5, and the SHA family.
#pragma once

#include "common/body.h"
#include "common/names.h"

namespace cm {

Ref base64_encrypt(Call& c, Args a);
Ref base64_decrypt(Call& c, Args a);

// How a digest method turns its `value` into the message bytes.
using ToBytes = Ref (*)(PyObject* value);

// A hexadecimal digest method (MD5 and the SHA family): its hashlib
// constructor and its text-to-bytes step.
struct HexDigest {
    const Name& constructor;
    ToBytes to_bytes;
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

}  // namespace cm
