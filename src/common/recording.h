// What a branch depends on, recorded from the library's own run.
//
// A branch's verifying call runs the generic path with a profile function
// set for this thread alone, which notes every Python code object entered
// and every built-in called. The run counts as the library's own when each
// code object comes from the libraries' own files (pycryptodome, python-rsa
// and pyasn1, PyJWT, the standard library but for unittest/ and test/) and
// runs in the namespace of the module that file is, and each built-in
// belongs to a module of the interpreter's or the libraries' own, or to an
// object of one of their types. Anything else (a wrapper, a mock, a lambda
// of the user's, a C method of the user's type) is foreign.
//
// Its dependencies are whole namespaces: the module dicts of the code that
// ran, the class dicts of the methods that ran (with the heap types of their
// MRO), the builtins, then what those modules hold that code reads through:
// the dicts of the modules, dicts and instances they hold. Each is kept with
// a copy taken after the run; the record is unchanged while every dict holds
// the same keys and values in the same order, and every function that ran
// the same code and defaults.
#pragma once

#include "common/body.h"
#include "common/dependencies.h"

namespace cm {

// A path's own dependencies for branch `branch`, after a recording found
// the library's own: 1 when everything it looked at is the library's own,
// 0 when not (the branch declines), -1 with an exception set on failure.
using ExtraDependencies = int (*)(int branch, Dependencies& d);

enum class Verdict : unsigned char {
    Own,         // the library's own code and built-ins, and nothing else
    Foreign,     // something else ran, or a namespace holds what is not own
    Unrecorded,  // not recorded: a profiler in the way, a failure, no room
};

// One recorded run: its dependencies (a Python object, kept for the life of
// the record), compared by `unchanged`.
struct Record {
    Verdict verdict = Verdict::Unrecorded;
    Ref dependencies;
};

// Runs `generic` for the call, recording it: its result or exception, as
// it is. `extra` may be null. Recording fails (Unrecorded) while this
// thread has a profile function of its own or another recording runs.
Ref record_generic(Body generic, Call& c, Args a, ExtraDependencies extra, int branch, Record& out);

}  // namespace cm
