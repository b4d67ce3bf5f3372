// The guards of a specialised path's entry points: what the method's own
// statements read before they enter a library (its module globals and the
// attributes read directly on them), listed as plain data in the path's unit.
// Everything below the entry points is the recording's (recording.h).
//
// A guard resolves its steps as the method would reach them, keeps what it
// found, and from then on compares: on interpreters with watchers (3.12+) it
// is told of every change and a call pays one comparison; before, each call
// compares every step with what was found.
#pragma once

#include "common/body.h"

#include <cstddef>
#include <cstdint>

namespace cm {

// What a step's object must be to count as the library's own.
enum class Own : unsigned char {
    Module,        // the module named `origin`
    Function,      // a Python function of module `origin` with qualified name `expect`
    Builtin,       // a built-in function of module `origin` named `expect`
    Class,         // a class of module `origin` with qualified name `expect`
    Value,         // an int or a tuple of ints whose repr is `expect`
    ModuleClass,   // the class this module built
    ModuleMethod,  // a staticmethod of this module's class around its method with body `body`
};

// Where a step reads its object from.
enum class From : unsigned char {
    Global,      // the module global `attribute`
    SysModules,  // the entry `attribute` of sys.modules
    Module,      // the attribute `attribute` of the module `module`, found in its dict
    Class,       // the entry `attribute` of the namespace of the class read by step `of`
};

struct Step {
    From from;
    const char* module;     // From::Module
    int of;                 // From::Class
    const char* attribute;
    Own own;
    const char* origin;
    const char* expect;     // a name, or "a|b" where the library's releases differ
    Body body;              // Own::ModuleMethod
    bool optional;          // may be absent, as long as it stays absent
};

// The steps, as a table of the path's unit writes them.
namespace step {
constexpr Step global_module(const char* global, const char* module) {
    return {From::Global, nullptr, -1, global, Own::Module, module, nullptr, nullptr, false};
}
constexpr Step global_function(const char* global, const char* module, const char* qualname) {
    return {From::Global, nullptr, -1, global, Own::Function, module, qualname, nullptr, false};
}
constexpr Step global_builtin(const char* global, const char* module, const char* name) {
    return {From::Global, nullptr, -1, global, Own::Builtin, module, name, nullptr, false};
}
constexpr Step module_class_global(const char* global) {
    return {From::Global, nullptr, -1, global, Own::ModuleClass, nullptr, nullptr, nullptr, false};
}
constexpr Step sys_module(const char* name) {
    return {From::SysModules, nullptr, -1, name, Own::Module, name, nullptr, nullptr, false};
}
constexpr Step function(const char* module, const char* name) {
    return {From::Module, module, -1, name, Own::Function, module, name, nullptr, false};
}
// A function that `module` imported from `origin`.
constexpr Step imported(const char* module, const char* name, const char* origin) {
    return {From::Module, module, -1, name, Own::Function, origin, name, nullptr, false};
}
constexpr Step module_of(const char* module, const char* name, const char* origin) {
    return {From::Module, module, -1, name, Own::Module, origin, nullptr, nullptr, false};
}
constexpr Step builtin(const char* module, const char* name, const char* origin, const char* builtin_name) {
    return {From::Module, module, -1, name, Own::Builtin, origin, builtin_name, nullptr, false};
}
constexpr Step value(const char* module, const char* name, const char* repr) {
    return {From::Module, module, -1, name, Own::Value, nullptr, repr, nullptr, false};
}
constexpr Step class_(const char* module, const char* name) {
    return {From::Module, module, -1, name, Own::Class, module, name, nullptr, false};
}
// A function of the class read by step `of`: qualified name `qualname`.
constexpr Step method(int of, const char* name, const char* module, const char* qualname) {
    return {From::Class, nullptr, of, name, Own::Function, module, qualname, nullptr, false};
}
constexpr Step module_method(int of, const char* name, Body body) {
    return {From::Class, nullptr, of, name, Own::ModuleMethod, nullptr, nullptr, body, false};
}
constexpr Step optional(Step s) {
    s.optional = true;
    return s;
}
}  // namespace step

// The guard of a table of steps, for the life of the process.
class Guard {
public:
    static constexpr size_t kMaxSteps = 24;

    template <size_t N>
    constexpr explicit Guard(const Step (&steps)[N]) : steps_(steps), count_(N) {
        static_assert(N <= kMaxSteps, "a guard watches at most kMaxSteps steps");
    }

    // Whether every step is the library's own, unchanged, for this call.
    // Never leaves an exception set.
    bool holds(const Call& c);

    // The object that step `i` read, while holds() is true.
    Borrowed object(size_t i) const { return seen_[i].value; }

private:
    struct Seen {
        PyObject* dict = nullptr;  // where the step reads (kept)
        PyObject* key = nullptr;
        PyObject* value = nullptr;  // what it read there, or null
        PyObject* code = nullptr;   // for functions: their code, defaults and keyword defaults
        PyObject* defaults = nullptr;
        PyObject* kwdefaults = nullptr;
        bool found_once = false;  // an optional step found once must stay
    };

    bool same(const Call& c) const;
    bool resolve(const Call& c);
    bool resolve_step(size_t i, const Call& c);

    const Step* steps_;
    size_t count_;
    Seen seen_[kMaxSteps] = {};
    size_t resolved_ = 0;          // steps found at the last resolution
    PyObject* globals_ = nullptr;  // the namespace it was resolved for
    bool own_ = false;             // whether the last resolution found the library's own
    bool watched_ = false;         // whether every dict and function of it is watched
    uint64_t generation_ = 0;      // the watchers' generation it was last found at
};

}  // namespace cm
