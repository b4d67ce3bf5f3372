// A method of TarvikCryptMain: its row of the method table, the state the
// module makes for it once, and the signature of the body that does its work.
#pragma once

#include "common/ref.h"
#include "common/traceback.h"

namespace cm {

// The bound arguments of a call, one per parameter, in table order; defaults
// filled in. Borrowed from the caller for the duration of the call.
using Args = PyObject* const*;

// The call in progress. A body sets `line` before each statement, so that a
// failure reports the line of the statement that failed.
struct Frame {
    int line;
};

// A method's work: returns the result, or an empty Ref with an exception set.
using Body = Ref (*)(Frame&, Args);

enum class Kind { Static, Instance };

constexpr int kMaxParams = 5;
constexpr int kCachedCounts = 8;

struct Method {
    // ---- the row of the method table
    const char* name;
    Kind kind;
    const char* params;  // as in the signature: "self, value, pub_key=None, hexs=False"
    const char* locals;  // the body's local names after the parameters: "pri_key, text, result"
    int line;            // first line: of the code object and of binding errors
    Body body;

    // ---- made once when the module executes (see method_object.cpp)
    int nparams = 0;
    int nrequired = 0;
    PyObject* param_names[kMaxParams] = {};
    PyObject* defaults[kMaxParams] = {};  // borrowed None/False, null when required
    PyObject* name_obj = nullptr;
    PyObject* qualname = nullptr;
    PyObject* doc = nullptr;
    PyObject* code = nullptr;  // __code__, compiled at the first request
    TracebackSite site;
    // Messages of the count errors, by the given count, made at the first
    // such error and kept: the same call that fails again does not format
    // its message again.
    PyObject* count_messages[kCachedCounts] = {};
};

// The method table, in class order.
extern Method g_methods[];
extern const int kMethodCount;

// Prepares a table row for use (parameters, names, doc); 0 or -1.
int prepare_method(Method& m);
// A new method object for a prepared row.
Ref make_method(Method& m);

}  // namespace cm
