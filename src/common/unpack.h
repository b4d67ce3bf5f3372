// Unpacking a result into exactly n values, as `a, b = result` does.
#pragma once

#include "common/ref.h"

namespace cm {

// Fills out[0] ... out[n-1] with the items of `seq`: an exact tuple or list
// is taken apart directly, anything else is iterated. Any other count than
// n raises ValueError "too many values to unpack (expected n)" or "need more
// than i value(s) to unpack". 0, or -1 with an exception (out left empty).
int unpack(PyObject* seq, Ref* out, Py_ssize_t n);

}  // namespace cm
