// Base64 text, MD5 and HMAC-MD5, and the SHA family.
#pragma once

#include "common/body.h"
#include "common/names.h"
#include "common/specialised.h"
#include "digests/raw_hashes.h"

namespace cm {

Ref base64_encrypt(Call& c, Args a);
Ref base64_decrypt(Call& c, Args a);

// How a digest method turns its `value` into the message bytes.
using ToBytes = Ref (*)(PyObject* value);

// A hexadecimal digest method (MD5 and the SHA family): its hashlib
// constructor and its text-to-bytes step; for the specialised path, the
// compiled hash, the pin of the constructor, and the longest message it
// takes: past that, hashlib's assembly outruns pycryptodome's portable C by
// more than the Python layers cost.
struct HexDigest {
    const Name& constructor;
    ToBytes to_bytes;
    raw::Hash raw_hash;
    const Pin& constructor_pin;
    size_t longest;
};
extern const HexDigest md5_hex, sha1_hex, sha256_hex, sha384_hex, sha512_hex;

// _<digest>_encrypt(value, fmt):
//     result = hashlib.<constructor>()
//     result.update(<to_bytes>(value))
//     result = result.hexdigest()
// then the fmt rule.
Ref hex_digest(const HexDigest& d, Call& c, Args a);

// The same through the compiled hash, for an exact str text (or exact
// bytes, where the method takes them) and an exact str or None fmt.
Fast hex_digest_fast(const HexDigest& d, const Call& c, Args a);

template <const HexDigest& D>
Ref hex_digest(Call& c, Args a) { return hex_digest(D, c, a); }
template <const HexDigest& D>
Fast hex_digest_fast(const Call& c, Args a) { return hex_digest_fast(D, c, a); }

Ref md5_hmac_encrypt(Call& c, Args a);
Fast md5_hmac_fast(const Call& c, Args a);

}  // namespace cm
