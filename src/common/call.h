// Calling into the interpreter: attributes, calls and method calls, with
// positional arguments and optionally a constant tuple of keyword names.
// Arguments may be given as PyObject* (borrowed) or as Ref.
#pragma once

#include "common/globals.h"
#include "common/names.h"
#include "common/ref.h"

namespace cm {

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(const Ref& r) { return r.get(); }

inline Ref attr(PyObject* obj, const Name& name) { return Ref(PyObject_GetAttr(obj, name.get())); }

// obj.name, where obj is usually a module: an attribute of a plain module
// is the entry of its dict (the module type has no attribute of that name),
// and stays so while the dict is unchanged.
Ref module_attr_lookup(PyObject* module, PyObject* dict, const Name& name);

inline Ref module_attr(PyObject* obj, const Name& name) {
    PyObject* dict = PyModule_CheckExact(obj) ? PyModule_GetDict(obj) : nullptr;
    if (!dict)
        return attr(obj, name);
    const Name::AttrCache& cache = name.attr_cache();
    if (cache.value && cache.module == obj && cache.version == compat::dict_version(dict))
        return Ref::borrow(cache.value);
    return module_attr_lookup(obj, dict, name);
}

// `global.attr`, the global read at this moment.
inline Ref global_attr(const Name& global_name, const Name& name) {
    Ref module = global(global_name);
    if (!module)
        return {};
    return module_attr(module.get(), name);
}

// obj.name, fetched to be called: as the interpreter does for `obj.name(...)`,
// a function of obj's type is kept with obj rather than bound into a new
// method object. The fetch is the attribute lookup, with its errors.
struct MethodRef {
    Ref callable;
    PyObject* self = nullptr;  // borrowed: the caller holds obj for the call
    explicit operator bool() const { return bool(callable); }
};
MethodRef method_attr(PyObject* obj, const Name& name);

// The function that obj.name binds to obj, when obj's type makes that
// certain (see compat::plain_instances); borrowed, null otherwise (no error).
PyObject* type_method_lookup(PyObject* obj, const Name& name);

inline PyObject* type_method(PyObject* obj, const Name& name) {
    const Name::MethodCache& cache = name.method_cache();
    PyTypeObject* type = Py_TYPE(obj);
    if (cache.function && cache.type == type && cache.version == compat::type_version(type))
        return cache.function;
    return type_method_lookup(obj, name);
}

// f(a...)
template <class... A>
Ref call(PyObject* f, const A&... a) {
    PyObject* argv[] = {nullptr, raw(a)...};
    return Ref(compat::vectorcall(f, argv + 1, sizeof...(A) | compat::kArgumentsOffset, nullptr));
}

// f(positional..., name=value...): the last kw.size() arguments go by keyword.
template <class... A>
Ref call_kw(PyObject* f, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {nullptr, raw(a)...};
    size_t npos = sizeof...(A) - (size_t)kw.size();
    return Ref(compat::vectorcall(f, argv + 1, npos | compat::kArgumentsOffset, kw.get()));
}

// m(a...), a method fetched by method_attr
template <class... A>
Ref call(const MethodRef& m, const A&... a) {
    if (!m.self)
        return call(m.callable.get(), a...);
    PyObject* argv[] = {nullptr, m.self, raw(a)...};
    return Ref(compat::vectorcall(m.callable.get(), argv + 1, (1 + sizeof...(A)) | compat::kArgumentsOffset, nullptr));
}

// obj.name(a...)
template <class... A>
Ref call_method(PyObject* obj, const Name& name, const A&... a) {
    PyObject* argv[] = {nullptr, obj, raw(a)...};
    size_t nargsf = (1 + sizeof...(A)) | compat::kArgumentsOffset;
    if (PyObject* function = type_method(obj, name))
        return Ref(compat::vectorcall(function, argv + 1, nargsf, nullptr));
    return Ref(compat::call_method(name.get(), argv + 1, nargsf, nullptr));
}

// obj.name(positional..., name=value...)
template <class... A>
Ref call_method_kw(PyObject* obj, const Name& name, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {nullptr, obj, raw(a)...};
    size_t nargsf = (1 + sizeof...(A) - (size_t)kw.size()) | compat::kArgumentsOffset;
    if (PyObject* function = type_method(obj, name))
        return Ref(compat::vectorcall(function, argv + 1, nargsf, kw.get()));
    return Ref(compat::call_method(name.get(), argv + 1, nargsf, kw.get()));
}

}  // namespace cm
