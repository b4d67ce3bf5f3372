// A recording's dependencies: whole namespaces, each with a copy taken after
// the run, and the functions that ran with their code and defaults. They
// are unchanged while every dict holds the same keys and values in the same
// order (a namespace that code only reads through may have grown by values
// of the libraries' own: their caches), and every function the same code
// and defaults.
//
// Held as a list of entries: (dict, copy, first, events, reads) for a
// namespace, `first` True for one that the library's code runs in (its
// module, the class of a method, the builtins) or that a path named,
// `events` the watcher's count when it was copied (a look compares only the
// dicts that had events since), `reads` the names that the recorded code
// may read a module's namespace or the builtins by (None for the others:
// any key); (function, code, defaults, kwdefaults) for a function that ran.
#pragma once

#include "common/ref.h"

#include <cstddef>

namespace cm {

// What a path adds to its recorded dependencies: dicts that the library
// reads in ways a recording cannot see (option dicts, instance dicts).
class Dependencies {
public:
    explicit Dependencies(PyObject* list) : list_(list) {}
    // Adds `dict` (an exact dict): copied now, compared and watched later.
    // -1 with an exception set on failure.
    int add(PyObject* dict);

private:
    PyObject* list_;
};

// The dependencies of a run that ran `codes[i]` in `globals[i]` (those
// with `own[i]`; a stand-in's namespace is not one: what put it there is),
// and the builtins `builtins`: the namespaces the code ran in, the classes
// of its methods with the heap types of their MRO, the builtins; then what
// those modules hold that code reads through: the namespaces of the modules
// (but sys and warnings), dicts and instances in them. Empty on failure,
// with an exception set.
Ref collect_dependencies(PyObject* const* codes, PyObject* const* globals, const bool* own, size_t count,
                         PyObject* builtins);

// Watches every namespace of `dependencies`; false where it cannot.
bool watch_all(PyObject* dependencies);

// Whether every namespace and function of `dependencies` is as recorded.
// Runs no code of anyone's; never leaves an exception set.
bool unchanged(PyObject* dependencies);

// Whether a new record keeps what an earlier one (the last that enabled the
// branch) held: no namespace the code runs in lost a key the code reads,
// and what changed there looks like the libraries' own (a module, their
// functions, classes and built-ins, plain data). A reload passes; a
// stand-in or a deletion not; a name rebound that no recorded code reads
// (nor the interpreter, as it reads special methods) is not judged.
bool keeps(PyObject* dependencies, PyObject* approved);

}  // namespace cm
