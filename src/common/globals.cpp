#include "common/globals.h"

namespace cm {

Namespaces g_namespaces;

Ref global(const Name& name) {
    PyObject* value = PyDict_GetItemWithError(g_namespaces.module_dict, name.get());
    if (!value && !PyErr_Occurred())
        value = PyDict_GetItemWithError(g_namespaces.builtins_dict, name.get());
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return Ref::borrow(value);
}

}  // namespace cm
