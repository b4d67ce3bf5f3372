// Binding the arguments of a call to a method's parameters, with the
// interpreter's messages for every way a call can be wrong.
#pragma once

#include "module/method.h"

namespace cm {

// Fills bound[0..nparams) from `nargs` positional arguments and the keyword
// arguments named by `kwnames` (their values follow the positional ones in
// `args`). Returns 0, or -1 with TypeError set.
int bind_arguments(MethodState& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound);

}  // namespace cm
