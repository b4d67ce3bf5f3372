// HMAC-MD5 as raw bytes. Key and message may be bytes, taken as they are;
// anything else is encoded as UTF-8.
#include "digests/digests.h"

#include "common/call.h"
#include "common/text.h"
#include "digests/letter_case.h"

namespace cm {

// The MAC stays raw bytes: the fmt rule changes the case of its ASCII
// letter bytes, which callers may have stored as they are.
Ref md5_hmac_encrypt(Call& c, Args a) {
    // value = value if isinstance(value, bytes) else value.encode(encoding="utf-8")
    c.at(1);
    Ref value = to_bytes(a[0]);
    if (!value)
        return {};
    // key = key if isinstance(key, bytes) else key.encode(encoding="utf-8")
    c.at(2);
    Ref key = to_bytes(a[1]);
    if (!key)
        return {};
    // result = hmac.new(key, value, digestmod=hashlib.md5)
    c.at(3);
    Ref make = global_attr(c, names::hmac, digest_names::new_);
    if (!make)
        return {};
    Ref md5 = global_attr(c, names::hashlib, digest_names::md5);
    if (!md5)
        return {};
    Ref result = call_kw(make, digest_names::kw_digestmod, key, value, md5);
    if (!result)
        return {};
    // result = result.digest()
    c.at(4);
    result = call_method(result, digest_names::digest);
    if (!result)
        return {};
    return letter_case(c, 5, std::move(result), a[2]);
}

}  // namespace cm
