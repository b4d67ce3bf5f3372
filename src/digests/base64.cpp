// Base64 text: one line of the standard alphabet for a str, and back.
#include "digests/digests.h"

#include "common/call.h"
#include "common/text.h"

namespace cm {

namespace {
const Name kEncodebytes("encodebytes");
const Name kDecodebytes("decodebytes");
}  // namespace

// result = str(base64.encodebytes(value.encode()), encoding="utf-8").replace("\n", "")
Ref base64_encrypt(Frame& f, Args a) {
    f.line = 80;
    Ref encodebytes = global_attr(globals::base64, kEncodebytes);
    if (!encodebytes)
        return {};
    Ref data = encode(a[0]);
    if (!data)
        return {};
    Ref lines = call(encodebytes.get(), data);
    if (!lines)
        return {};
    data = Ref();  // a temporary: gone once the call returns
    return one_line(lines.get());
}

// result = str(base64.decodebytes(value.encode(encoding="utf-8")), encoding="utf-8")
Ref base64_decrypt(Frame& f, Args a) {
    f.line = 85;
    Ref decodebytes = global_attr(globals::base64, kDecodebytes);
    if (!decodebytes)
        return {};
    Ref data = encode_utf8_kw(a[0]);
    if (!data)
        return {};
    Ref decoded = call(decodebytes.get(), data);
    if (!decoded)
        return {};
    data = Ref();  // a temporary: gone once the call returns
    return str_utf8(decoded.get());
}

}  // namespace cm
