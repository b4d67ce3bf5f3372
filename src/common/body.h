// What a method's body is given: the arguments of the call, the namespaces
// it reads its globals from, and the line it is at, for a traceback entry if
// it fails.
#pragma once

#include "common/ref.h"

namespace cm {

// The bound arguments of a call, one per parameter, in table order, defaults
// filled in; the caller holds them for the call.
using Args = PyObject* const*;

// The namespaces of the method object being called, which holds them.
struct Namespaces {
    Borrowed globals;   // the module's namespace
    Borrowed builtins;  // the builtins' namespace
};

// The call in progress. A body moves `line` to each statement before it
// runs it, as an offset from the method's own line, so that a failure
// reports the line of the statement that failed.
struct Call {
    Namespaces ns;
    int def_line;  // the method's line
    int line;      // the statement's line
    // Set while a specialised path runs for a branch's verifying call, whose
    // result is compared and not returned: such a run writes nothing that
    // outlives the call (the generic path that follows does that).
    bool verifying = false;

    void at(int offset) { line = def_line + offset; }
};

// A method's work: the result, or an empty Ref with an exception set.
using Body = Ref (*)(Call&, Args);

// Asked of the module, which builds the class: whether `cls` is that class,
// and whether `function` is one of its method objects, the one whose work
// is `body`.
bool is_module_class(PyObject* cls);
bool is_module_method(PyObject* function, Body body);

}  // namespace cm
