// Calling into the interpreter: attributes, calls and method calls, with
// positional arguments and optionally a constant tuple of keyword names.
// Arguments may be given as PyObject*, Borrowed or Ref; each is held by its
// giver for the length of the call.
#pragma once

#include "common/globals.h"

namespace cm {

inline PyObject* as_ptr(PyObject* p) { return p; }
inline PyObject* as_ptr(Borrowed b) { return b.get(); }
inline PyObject* as_ptr(const Ref& r) { return r.get(); }

// obj.name
template <class O>
Ref attr(const O& obj, const Name& name) {
    return Ref(PyObject_GetAttr(as_ptr(obj), name.get()));
}

// `global.name`, the global read at this moment. For a plain module that
// is the entry of its dict when it has one: the names we read are none of
// the module type's attributes, and a builtin type cannot be given more.
// Anything else takes the attribute lookup, with its hooks and errors.
inline Ref global_attr(const Call& c, const Name& global_name, const Name& name) {
    Ref module = global(c, global_name);
    if (!module)
        return {};
    if (PyModule_CheckExact(module.get())) {
        PyObject* value;
        if (PyDict_GetItemRef(PyModule_GetDict(module.get()), name.get(), &value) != 0)
            return Ref(value);
    }
    return attr(module, name);
}

// f(a...)
template <class F, class... A>
Ref call(const F& f, const A&... a) {
    PyObject* argv[] = {nullptr, as_ptr(a)...};
    return Ref(PyObject_Vectorcall(as_ptr(f), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., name=value...): the last kw.size() arguments go by keyword.
template <class F, class... A>
Ref call_kw(const F& f, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {nullptr, as_ptr(a)...};
    size_t npos = sizeof...(A) - (size_t)kw.size();
    return Ref(PyObject_Vectorcall(as_ptr(f), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
}

// obj.name(a...): the method is fetched after the arguments are made.
template <class O, class... A>
Ref call_method(const O& obj, const Name& name, const A&... a) {
    PyObject* argv[] = {nullptr, as_ptr(obj), as_ptr(a)...};
    size_t nargsf = (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref(PyObject_VectorcallMethod(name.get(), argv + 1, nargsf, nullptr));
}

// obj.name(positional..., name=value...)
template <class O, class... A>
Ref call_method_kw(const O& obj, const Name& name, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {nullptr, as_ptr(obj), as_ptr(a)...};
    size_t nargsf = (1 + sizeof...(A) - (size_t)kw.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref(PyObject_VectorcallMethod(name.get(), argv + 1, nargsf, kw.get()));
}

// obj.name(make(x)), in Python's order: the method is fetched before its
// argument is made. When making the argument can show nothing but its
// result or its error (`pure`), the fetch is left to the call, which then
// makes no bound method; should making it fail, the fetch is made after all
// and its error, if any, wins, as it would have come first.
template <class O>
Ref call_method_with(const O& obj, const Name& name, Ref (*make)(PyObject*), PyObject* x, bool pure) {
    if (!pure) {
        Ref method = attr(obj, name);
        Ref argument = method ? make(x) : Ref();
        return argument ? call(method, argument) : Ref();
    }
    Ref argument = make(x);
    if (!argument) {
        Ref failed(PyErr_GetRaisedException());
        Ref method = attr(obj, name);
        if (method)
            PyErr_SetRaisedException(failed.release());
        return {};
    }
    return call_method(obj, name, argument);
}

}  // namespace cm
