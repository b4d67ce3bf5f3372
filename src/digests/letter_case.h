// The letter-case step that ends every digest method.
#pragma once

#include "common/body.h"

namespace cm {

// The last four statements of a digest method, the first of them at
// `offset` from the method's line:
//     if fmt == "upper":
//         return result.upper()
//     if fmt == "lower":
//         return result.lower()
//     return result
// `result` is a str (hexadecimal digest) or bytes (raw HMAC); `fmt` may be
// any object, compared by its own ==, whose errors propagate.
Ref letter_case(Call& c, int offset, Ref result, PyObject* fmt);

}  // namespace cm
