// MD5 as hexadecimal text, and HMAC-MD5 as raw bytes. Both take bytes as
// they are and encode anything else as UTF-8.
#include "digests/digests.h"

#include "common/call.h"
#include "common/text.h"
#include "digests/hex_digest.h"
#include "digests/letter_case.h"

namespace cm {

namespace {
const Name kMd5("md5");
const Name kNew("new");
const Name kDigest("digest");
const KwNames kDigestmod({"digestmod"});
}  // namespace

// result = hashlib.md5()
// result.update(value if isinstance(value, bytes) else value.encode(encoding="utf-8"))
// result = result.hexdigest()
// then the fmt rule
Ref md5_encrypt(Frame& f, Args a) { return hex_digest(f, 102, kMd5, to_bytes, a[0], a[1]); }

// The MAC stays raw bytes: the fmt rule changes the case of its ASCII
// letter bytes, which callers may have stored as they are.
Ref md5_hmac_encrypt(Frame& f, Args a) {
    // value = value if isinstance(value, bytes) else value.encode(encoding="utf-8")
    f.line = 118;
    Ref value = to_bytes(a[0]);
    if (!value)
        return {};
    // key = key if isinstance(key, bytes) else key.encode(encoding="utf-8")
    f.line = 119;
    Ref key = to_bytes(a[1]);
    if (!key)
        return {};
    // result = hmac.new(key, value, digestmod=hashlib.md5)
    f.line = 120;
    Ref make = global_attr(globals::hmac, kNew);
    if (!make)
        return {};
    Ref md5 = global_attr(globals::hashlib, kMd5);
    if (!md5)
        return {};
    Ref result = call_kw(make.get(), kDigestmod, key, value, md5);
    if (!result)
        return {};
    // result = result.digest()
    f.line = 121;
    result = call_method(result.get(), kDigest);
    if (!result)
        return {};
    return letter_case(f, 122, std::move(result), a[2]);
}

}  // namespace cm
