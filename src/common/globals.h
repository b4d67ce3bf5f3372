// Reading a module global at the moment a call needs it: first the module's
// namespace, then the builtins, else NameError.
#pragma once

#include "common/body.h"
#include "common/names.h"

namespace cm {

inline Ref global(const Namespaces& ns, const Name& name) {
    PyObject* value;
    int found = PyDict_GetItemRef(ns.globals.get(), name.get(), &value);
    if (found == 0)
        found = PyDict_GetItemRef(ns.builtins.get(), name.get(), &value);
    if (found == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return Ref(value);
}

inline Ref global(const Call& c, const Name& name) { return global(c.ns, name); }

}  // namespace cm
