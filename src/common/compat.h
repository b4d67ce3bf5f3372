// Every difference between the interpreters we build for (CPython 3.7 to
// 3.13) lives in this header; no other file tests the Python version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <frameobject.h>  // PyFrame_New

// The module's one export. PyMODINIT_FUNC marks it visible only from 3.9 on,
// and the module is built with hidden visibility.
#define CRYPT_MAIN_INIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*

namespace cm::compat {

// ---- vectorcall -----------------------------------------------------------
#if PY_VERSION_HEX >= 0x03080000
using ::vectorcallfunc;
#endif
#if PY_VERSION_HEX >= 0x03090000
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(f, args, nargsf, kwnames);
}
constexpr size_t kArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;
constexpr unsigned long kVectorcallFlags = Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#elif PY_VERSION_HEX >= 0x03080000
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_Vectorcall(f, args, nargsf, kwnames);
}
constexpr size_t kArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;
constexpr unsigned long kVectorcallFlags = _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
typedef PyObject* (*vectorcallfunc)(PyObject*, PyObject* const*, size_t, PyObject*);
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_FastCallKeywords(f, const_cast<PyObject**>(args), (Py_ssize_t)nargsf, kwnames);
}
constexpr size_t kArgumentsOffset = 0;
constexpr unsigned long kVectorcallFlags = 0;
#endif

inline Py_ssize_t nargs(size_t nargsf) { return (Py_ssize_t)(nargsf & ~kArgumentsOffset); }

// Installs a vectorcall entry point on a static type. On 3.7 the type has
// no vectorcall slot, so tp_call unpacks the tuple and dict and forwards.
template <PyObject* (*Entry)(PyObject*, PyObject* const*, size_t, PyObject*)>
struct VectorcallType {
#if PY_VERSION_HEX >= 0x03080000
    static void install(PyTypeObject& type, Py_ssize_t offset) {
        type.tp_vectorcall_offset = offset;
        type.tp_call = PyVectorcall_Call;
        type.tp_flags |= kVectorcallFlags;
    }
#else
    static void install(PyTypeObject& type, Py_ssize_t) { type.tp_call = call; }

    static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
        Py_ssize_t npos = PyTuple_GET_SIZE(args);
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        if (nkw == 0)
            return Entry(self, &PyTuple_GET_ITEM(args, 0), (size_t)npos, nullptr);
        PyObject* kwnames = PyTuple_New(nkw);
        if (!kwnames)
            return nullptr;
        PyObject** stack = (PyObject**)PyMem_Malloc((size_t)(npos + nkw) * sizeof(PyObject*));
        if (!stack) {
            Py_DECREF(kwnames);
            return PyErr_NoMemory();
        }
        for (Py_ssize_t i = 0; i < npos; i++)
            stack[i] = PyTuple_GET_ITEM(args, i);
        // The dict may be the caller's own (f(**d) passes it as it is), and
        // the call may empty it: the values are held for the whole call.
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, i, key);
            Py_INCREF(value);
            stack[npos + i++] = value;
        }
        PyObject* result = Entry(self, stack, (size_t)npos, kwnames);
        for (i = 0; i < nkw; i++)
            Py_DECREF(stack[npos + i]);
        PyMem_Free(stack);
        Py_DECREF(kwnames);
        return result;
    }
#endif
};

// ---- calling a method by name -------------------------------------------
// args[0] is the object; nargsf counts it.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    PyObject* bound = PyObject_GetAttr(args[0], name);
    if (!bound)
        return nullptr;
    PyObject* result = vectorcall(bound, args + 1, (size_t)(nargs(nargsf) - 1), kwnames);
    Py_DECREF(bound);
    return result;
#endif
}

// ---- fetching a method to call ---------------------------------------------
// obj.name as the interpreter fetches a method that it is about to call:
// when the attribute is a function found on the type (and not shadowed), it
// is returned unbound with 1, and calling it with obj first is calling
// obj.name; otherwise the attribute itself comes back with 0. -1 on error.
// Declared for extensions in 3.9 to 3.12 and exported (PyAPI_FUNC, though
// in an internal header) in 3.13; 3.7 and 3.8 take the plain attribute.
#if PY_VERSION_HEX >= 0x030D0000
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x03090000
    return _PyObject_GetMethod(obj, name, method);
#else
    *method = PyObject_GetAttr(obj, name);
    return *method ? 0 : -1;
#endif
}

// ---- dict versions ---------------------------------------------------------
// A number that every change of the dict changes (PEP 509; the interpreters
// up to 3.13 keep it, deprecated from 3.12 on), and that no other dict has
// had: a lookup in the dict stays valid while its version does. 0 means
// "unknown", which a cache must not trust.
inline uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ((PyDictObject*)dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// ---- type versions ---------------------------------------------------------
// A number that changes whenever the type or one of its bases changes, and
// that no other type has had; 0 when the type has none at the moment.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    // up to 3.10 a change clears the flag and leaves the old number
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether obj.name on instances of `type` is the attribute found on the
// type, bound to the instance when it is a function: the generic lookup and
// no instance dict that could hold a name of its own.
inline bool plain_instances(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0)
        return false;
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return false;
#endif
    return true;
}

// Whether a descriptor calls like a function that takes the instance first
// (functions, methods of builtin types): then obj.name(args) is
// descr(obj, args).
inline bool binds_like_function(PyObject* descr) {
#if PY_VERSION_HEX >= 0x03080000
    return PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR);
#else
    return PyFunction_Check(descr) || Py_TYPE(descr) == &PyMethodDescr_Type;
#endif
}

// ---- the pending exception -----------------------------------------------
#if PY_VERSION_HEX >= 0x030C0000
struct SavedError {
    PyObject* exc;
    SavedError() : exc(PyErr_GetRaisedException()) {}
    // The exception object itself (borrowed; held by this).
    PyObject* exception() { return exc; }
    void restore() { PyErr_SetRaisedException(exc); exc = nullptr; }
    ~SavedError() { Py_XDECREF(exc); }
};
#else
struct SavedError {
    PyObject *type, *value, *tb;
    SavedError() { PyErr_Fetch(&type, &value, &tb); }
    // The exception object itself, normalised, with its traceback
    // (borrowed; held by this).
    PyObject* exception() {
        PyErr_NormalizeException(&type, &value, &tb);
        if (value && tb)
            PyException_SetTraceback(value, tb);
        return value;
    }
    void restore() { PyErr_Restore(type, value, tb); type = value = tb = nullptr; }
    ~SavedError() { Py_XDECREF(type); Py_XDECREF(value); Py_XDECREF(tb); }
};
#endif

// ---- frames of traceback entries ------------------------------------------
// Up to 3.10 a new frame links the frame that is running as its f_back, so
// a frame made for a traceback entry belongs to the moment it was made.
// From 3.11 on it links nothing and holds nothing of the call (its line
// comes from its code object), so one frame per code object can serve
// every entry.
constexpr bool kFramesLinkCaller = PY_VERSION_HEX < 0x030B0000;

// ---- interpreters ---------------------------------------------------------
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

}  // namespace cm::compat
