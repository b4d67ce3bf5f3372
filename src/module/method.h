// A method of TarvikCryptMain: its constant row of the method table, the
// state that the module makes for it once, and its function objects.
#pragma once

#include "common/body.h"
#include "common/specialised.h"
#include "common/traceback.h"

namespace cm {

enum class Kind { Static, Instance };

constexpr int kMethodCount = 23;
constexpr int kMaxParams = 5;
constexpr int kMaxLocals = 3;
constexpr int kCachedCounts = 8;

// A parameter: required, or with the default None or False, the only two
// defaults a method has (anything else does not compile).
enum class Default : unsigned char { Required, None, False };
struct Param {
    const char* name;
    Default fallback;
};
struct NoneDefault {};
struct FalseDefault {};
constexpr NoneDefault none_default{};
constexpr FalseDefault false_default{};
constexpr Param param(const char* name) { return {name, Default::Required}; }
constexpr Param param(Param p) { return p; }
constexpr Param optional(const char* name, NoneDefault) { return {name, Default::None}; }
constexpr Param optional(const char* name, FalseDefault) { return {name, Default::False}; }

struct Params {
    Param items[kMaxParams];
    int count;
};
template <class... P>
constexpr Params params(P... p) {
    static_assert(sizeof...(P) <= kMaxParams, "a method has at most kMaxParams parameters");
    return {{param(p)...}, (int)sizeof...(P)};
}

// The body's local names after the parameters, as its code object lists them.
struct Locals {
    const char* items[kMaxLocals];
    int count;
};
template <class... L>
constexpr Locals locals(L... l) {
    static_assert(sizeof...(L) <= kMaxLocals, "a method has at most kMaxLocals locals");
    return {{l...}, (int)sizeof...(L)};
}

// A row of the method table.
struct MethodRow {
    const char* name;
    Kind kind;
    Params params;
    Locals locals;
    int line;  // first line: of the code object and of binding errors
    Body body;
    const SpecialisedPath* fast;  // the specialised path, if the method has one
};

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
