// SHA-1, SHA-256, SHA-384 and SHA-512 of a text, as hexadecimal text. The
// members differ only in their hashlib constructor; the text is always
// encoded, so bytes are refused (they have no encode method).
#include "digests/digests.h"

#include "common/text.h"
#include "digests/hex_digest.h"

namespace cm {

namespace {
const Name kSha1("sha1");
const Name kSha256("sha256");
const Name kSha384("sha384");
const Name kSha512("sha512");

// result = hashlib.<constructor>(); result.update(value.encode(encoding="utf-8"));
// result = result.hexdigest(); then the fmt rule. `def_line` is the
// method's own line; its statements follow it.
Ref sha_hex_digest(Frame& f, Args a, int def_line, const Name& constructor) {
    return hex_digest(f, def_line + 1, constructor, encode_utf8_kw, a[0], a[1]);
}
}  // namespace

Ref sha1_encrypt(Frame& f, Args a) { return sha_hex_digest(f, a, 175, kSha1); }
Ref sha256_encrypt(Frame& f, Args a) { return sha_hex_digest(f, a, 188, kSha256); }
Ref sha384_encrypt(Frame& f, Args a) { return sha_hex_digest(f, a, 201, kSha384); }
Ref sha512_encrypt(Frame& f, Args a) { return sha_hex_digest(f, a, 214, kSha512); }

}  // namespace cm
