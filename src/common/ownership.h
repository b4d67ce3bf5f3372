// Whether what a library's run met is the libraries' own: code of their
// files running in the namespace of the module that file is, built-ins of
// their or the interpreter's modules and types, and values that look like
// theirs. The libraries: pycryptodome (and cffi, through which it may load
// its compiled code), python-rsa and pyasn1, PyJWT, and the standard library
// but for its tests and unittest (mock lives there).
#pragma once

#include "common/ref.h"

namespace cm {

// Finds the libraries' directories as they are imported now (a package
// may be imported after the first look). -1 with an exception set.
int find_libraries();

// `m` is in sys.modules under its name and is the libraries' or the
// interpreter's. Reads dicts only: a module's __getattr__ runs nothing.
bool own_module(PyObject* m);
// Code of a library's own file, running in the namespace of the module
// that file is (frozen modules name themselves "<frozen name>").
bool own_code(PyObject* code, PyObject* globals);
// A type of the interpreter's (static), or a heap type of an own module.
bool own_type(PyTypeObject* type);
bool static_type(PyTypeObject* type);
// A built-in bound to an own module, or to an object of an own type.
bool own_builtin(PyObject* callable);
// A value that looks like the libraries' own: plain data, an own module,
// function, class or built-in, or an object of an own type.
bool own_looking(PyObject* value);

// The exact str dict[key], or null; str keys run no code.
PyObject* text_item(PyObject* dict, const char* key);

}  // namespace cm
