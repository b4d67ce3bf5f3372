// Unpacking a result into exactly n values, as `a, b = result` does.
#pragma once

#include "common/ref.h"

namespace cm {

// Fills out[0] ... out[n-1] (n at most 4) with the items of `seq`: an exact
// tuple or list of n items is taken apart directly; anything else is
// unpacked by the interpreter itself, so that what it iterates and every
// error and message are its own. 0, or -1 with an exception (out left
// empty).
int unpack(PyObject* seq, Ref* out, Py_ssize_t n);

}  // namespace cm
