#include "digests/hex_digest.h"

#include "common/call.h"
#include "digests/letter_case.h"

namespace cm {

namespace {
const Name kUpdate("update");
const Name kHexdigest("hexdigest");
}  // namespace

Ref hex_digest(Frame& f, int line, const Name& constructor, ToBytes to_bytes, PyObject* value,
               PyObject* fmt) {
    // result = hashlib.<constructor>()
    f.line = line;
    Ref make = global_attr(globals::hashlib, constructor);
    if (!make)
        return {};
    Ref result = call(make.get());
    if (!result)
        return {};
    // result.update(<to_bytes>(value)): the method is looked up before the
    // argument is made, as the interpreter does.
    f.line = line + 1;
    MethodRef update = method_attr(result.get(), kUpdate);
    if (!update)
        return {};
    Ref message = to_bytes(value);
    if (!message)
        return {};
    if (!call(update, message))
        return {};
    message = Ref();  // a temporary: gone once the call returns
    // result = result.hexdigest()
    f.line = line + 2;
    result = call_method(result.get(), kHexdigest);
    if (!result)
        return {};
    return letter_case(f, line + 3, std::move(result), fmt);
}

}  // namespace cm
