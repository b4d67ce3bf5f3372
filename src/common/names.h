// Constant strings and keyword-name tuples. Each operation declares the ones
// it needs as file-level objects; the module makes all of them once, when it
// is executed, and keeps them for the life of the process.
#pragma once

#include "common/compat.h"

#include <initializer_list>

namespace cm {

// An interned str made once from a C string.
class Name {
public:
    explicit Name(const char* text);
    PyObject* get() const { return obj_; }  // borrowed, lives for the process
    const char* text() const { return text_; }

    // Makes every Name and KwNames not made yet; 0, or -1 with an exception.
    static int make_all();

    // What the last lookup of this name found, as a global (globals.cpp) and
    // as a module attribute (call.h), kept with the versions of the dicts it
    // came from: while they are unchanged, the lookup would find the same.
    // The values are borrowed from those dicts.
    struct GlobalCache {
        uint64_t module_version = 0;
        uint64_t builtins_version = 0;  // 0 when found in the module's own
        PyObject* value = nullptr;
    };
    struct AttrCache {
        PyObject* module = nullptr;  // compared, never used
        uint64_t version = 0;
        PyObject* value = nullptr;
    };
    // ... and as a method of a type whose instances have no dict of their own
    // (call.h), kept with the type's version: borrowed from the type.
    struct MethodCache {
        PyTypeObject* type = nullptr;  // compared, never used
        unsigned int version = 0;
        PyObject* function = nullptr;
    };
    GlobalCache& global_cache() const { return global_cache_; }
    AttrCache& attr_cache() const { return attr_cache_; }
    MethodCache& method_cache() const { return method_cache_; }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
    mutable GlobalCache global_cache_;
    mutable AttrCache attr_cache_;
    mutable MethodCache method_cache_;
    Name* next_;
    static Name* head_;
};

// The tuple of keyword names that a vectorcall passes, such as ("encoding",).
class KwNames {
public:
    KwNames(std::initializer_list<const char*> names);
    PyObject* get() const { return obj_; }  // borrowed, lives for the process
    Py_ssize_t size() const { return size_; }

private:
    friend class Name;
    const char* names_[4];
    Py_ssize_t size_;
    PyObject* obj_ = nullptr;
    KwNames* next_;
    static KwNames* head_;
};

}  // namespace cm
