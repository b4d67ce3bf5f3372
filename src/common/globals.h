// Reading a module global at the moment a call needs it: first the module's
// namespace, then the builtins, else NameError.
#pragma once

#include "common/names.h"
#include "common/ref.h"

namespace cm {

// Set once the module executes; borrowed from the module, which lives for
// the rest of the process.
struct Namespaces {
    PyObject* module_dict = nullptr;
    PyObject* builtins_dict = nullptr;
};
extern Namespaces g_namespaces;

Ref global(const Name& name);

}  // namespace cm
