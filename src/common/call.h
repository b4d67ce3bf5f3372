// Calling into the interpreter: attributes, calls and method calls, with
// positional arguments and optionally a constant tuple of keyword names.
// Arguments may be given as PyObject*, Borrowed or Ref; each is held by its
// giver for the length of the call.
#pragma once

#include "common/globals.h"

namespace cm {

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(Borrowed b) { return b.get(); }
inline PyObject* raw(const Ref& r) { return r.get(); }

// obj.name
template <class O>
Ref attr(const O& obj, const Name& name) {
    return Ref(PyObject_GetAttr(raw(obj), name.get()));
}

// `global.name`, the global read at this moment.
inline Ref global_attr(const Call& c, const Name& global_name, const Name& name) {
    Ref module = global(c, global_name);
    return module ? attr(module, name) : Ref();
}

// f(a...)
template <class F, class... A>
Ref call(const F& f, const A&... a) {
    PyObject* argv[] = {nullptr, raw(a)...};
    return Ref(PyObject_Vectorcall(raw(f), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., name=value...): the last kw.size() arguments go by keyword.
template <class F, class... A>
Ref call_kw(const F& f, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {nullptr, raw(a)...};
    size_t npos = sizeof...(A) - (size_t)kw.size();
    return Ref(PyObject_Vectorcall(raw(f), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
}

// obj.name(a...): the method is fetched after the arguments are made.
template <class O, class... A>
Ref call_method(const O& obj, const Name& name, const A&... a) {
    PyObject* argv[] = {nullptr, raw(obj), raw(a)...};
    size_t nargsf = (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref(PyObject_VectorcallMethod(name.get(), argv + 1, nargsf, nullptr));
}

// obj.name(positional..., name=value...)
template <class O, class... A>
Ref call_method_kw(const O& obj, const Name& name, const KwNames& kw, const A&... a) {
    PyObject* argv[] = {nullptr, raw(obj), raw(a)...};
    size_t nargsf = (1 + sizeof...(A) - (size_t)kw.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref(PyObject_VectorcallMethod(name.get(), argv + 1, nargsf, kw.get()));
}

}  // namespace cm
