// Base64 text: one line of the standard alphabet for a str, and back.
#include "digests/digests.h"

#include "common/call.h"
#include "common/text.h"

namespace cm {

// result = str(base64.encodebytes(value.encode()), encoding="utf-8").replace("\n", "")
Ref base64_encrypt(Call& c, Args a) {
    c.at(2);
    Ref encodebytes = global_attr(c, names::base64, digest_names::encodebytes);
    if (!encodebytes)
        return {};
    Ref data = encode(a[0]);
    if (!data)
        return {};
    Ref lines = call(encodebytes, data);
    if (!lines)
        return {};
    data = Ref();  // a temporary: gone once the call returns
    return one_line(lines.get());
}

// result = str(base64.decodebytes(value.encode(encoding="utf-8")), encoding="utf-8")
Ref base64_decrypt(Call& c, Args a) {
    c.at(2);
    Ref decodebytes = global_attr(c, names::base64, digest_names::decodebytes);
    if (!decodebytes)
        return {};
    Ref data = encode_utf8_kw(a[0]);
    if (!data)
        return {};
    Ref decoded = call(decodebytes, data);
    if (!decoded)
        return {};
    data = Ref();  // a temporary: gone once the call returns
    return str_utf8(decoded.get());
}

}  // namespace cm
