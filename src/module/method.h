// A method of TarvikCryptMain: its constant row of the method table, the
// state that the module makes for it once, and its function objects.
#pragma once

#include "common/body.h"
#include "common/specialised.h"
#include "common/traceback.h"

namespace cm {

enum class Kind { Static, Instance };

// A row of the method table.
struct MethodRow {
    const char* name;
    Kind kind;
    const char* params;  // as in the signature: "self, value, pub_key=None, hexs=False"
    const char* locals;  // the body's local names after the parameters: "pri_key, text, result"
    int line;            // first line: of the code object and of binding errors
    Body body;
    FastPath fast;       // the specialised path, if the method has one
};

constexpr int kMethodCount = 23;
constexpr int kMaxParams = 5;
constexpr int kCachedCounts = 8;

// The method table, in class order.
extern const MethodRow kMethodTable[kMethodCount];

// What the module makes for a row when it first executes, kept for the
// life of the process (it outlives any one module object's namespace).
struct MethodState {
    const MethodRow* row = nullptr;
    int nparams = 0;
    int nrequired = 0;
    PyObject* param_names[kMaxParams] = {};  // interned
    Borrowed defaults[kMaxParams] = {};      // None or False; empty when required
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    PyObject* doc = nullptr;
    PyObject* code = nullptr;  // __code__, compiled at the first request
    TracebackSite site;
    // Messages of the count errors, by the given count, made at the first
    // such error and kept: the same call that fails again does not format
    // its message again.
    PyObject* count_messages[kCachedCounts] = {};
    Specialisation specialisation;  // its enabled flags
};

// The state of row i, made at the first request; null with an exception
// if it could not be made.
MethodState* method_state(int i);

// A new function object for a method, reading its globals from `globals`
// and then `builtins`, both of which it holds.
Ref make_method(MethodState& m, Namespaces ns);

}  // namespace cm
