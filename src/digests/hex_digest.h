// The hexadecimal digest of a message, shared by MD5 and the SHA family.
#pragma once

#include "common/names.h"
#include "module/method.h"

namespace cm {

// How a method turns its `value` into the message bytes.
using ToBytes = Ref (*)(PyObject* value);

// The whole body of a hexadecimal digest method, its first statement at
// `line`:
//     result = hashlib.<constructor>()
//     result.update(<to_bytes>(value))
//     result = result.hexdigest()
// followed by the fmt rule.
Ref hex_digest(Frame& f, int line, const Name& constructor, ToBytes to_bytes, PyObject* value,
               PyObject* fmt);

}  // namespace cm
