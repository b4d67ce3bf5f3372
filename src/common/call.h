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

// `global.attr`, the global read at this moment.
inline Ref global_attr(const Name& global_name, const Name& name) {
    Ref module = global(global_name);
    if (!module)
        return {};
    return attr(module.get(), name);
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

// obj.name(a...)
template <class... A>
Ref call_method(PyObject* obj, const Name& name, const A&... a) {
    PyObject* argv[] = {obj, raw(a)...};
    return Ref(compat::call_method(name.get(), argv, (1 + sizeof...(A)) | compat::kArgumentsOffset, nullptr));
}

// obj.name(positional..., name=value...)
template <class... A>
Ref call_method_kw(PyObject* obj, const Name& name, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {obj, raw(a)...};
    size_t npos = 1 + sizeof...(A) - (size_t)kw.size();
    return Ref(compat::call_method(name.get(), argv, npos | compat::kArgumentsOffset, kw.get()));
}

}  // namespace cm
