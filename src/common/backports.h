// The newer public C API, given to the older interpreters we build for
// (CPython 3.7 to 3.15). Everything else in the module is written once,
// against today's names; this is the only file that tests the version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <frameobject.h>  // PyFrame_New

// The module's one export. PyMODINIT_FUNC marks it visible only from 3.9 on,
// and the module is built with hidden visibility.
#define CRYPT_MAIN_INIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*

// ---- references (3.10) -----------------------------------------------------
#if PY_VERSION_HEX < 0x030A00A3
static inline PyObject* Py_NewRef(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}
static inline PyObject* Py_XNewRef(PyObject* obj) {
    Py_XINCREF(obj);
    return obj;
}
#endif

// ---- type test (3.9) --------------------------------------------------------
#if PY_VERSION_HEX < 0x030900A4
static inline int Py_IS_TYPE(PyObject* ob, PyTypeObject* type) {
    return Py_TYPE(ob) == type;
}
#endif

// ---- vectorcall (3.8 provisional, 3.9 public) ------------------------------
#if PY_VERSION_HEX < 0x03080000
typedef PyObject* (*vectorcallfunc)(PyObject*, PyObject* const*, size_t, PyObject*);
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
static inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) {
    return (Py_ssize_t)(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
#define Py_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

#if PY_VERSION_HEX < 0x03090000
static inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                            PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), PyVectorcall_NARGS(nargsf), kwnames);
#endif
}

// args[0] is the object; nargsf counts it.
static inline PyObject* PyObject_VectorcallMethod(PyObject* name, PyObject* const* args, size_t nargsf,
                                                  PyObject* kwnames) {
    PyObject* bound = PyObject_GetAttr(args[0], name);
    if (!bound)
        return nullptr;
    PyObject* result = PyObject_Vectorcall(bound, args + 1, (size_t)(PyVectorcall_NARGS(nargsf) - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            kwnames);
    Py_DECREF(bound);
    return result;
}

static inline PyInterpreterState* PyInterpreterState_Get(void) { return PyThreadState_Get()->interp; }
#endif

#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace cm::backports {

// Makes a static type callable through the vectorcall pointer at `offset` of
// its objects. 3.7 has no such slot: tp_call unpacks the tuple and dict and
// forwards them to Entry.
template <PyObject* (*Entry)(PyObject*, PyObject* const*, size_t, PyObject*)>
struct VectorcallType {
#if PY_VERSION_HEX >= 0x03080000
    static void install(PyTypeObject& type, Py_ssize_t offset) {
        type.tp_vectorcall_offset = offset;
        type.tp_call = PyVectorcall_Call;
        type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
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
            PyTuple_SET_ITEM(kwnames, i, Py_NewRef(key));
            stack[npos + i++] = Py_NewRef(value);
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

}  // namespace cm::backports

// ---- the raised exception as one object (3.12) ---------------------------
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}
static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef((PyObject*)Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
}
#endif

// ---- lookups that give a strong reference (3.13) --------------------------
#if PY_VERSION_HEX < 0x030D00A1
// 1 and a new reference when found, 0 and null when not, -1 on error.
static inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(item);
    return item ? 1 : PyErr_Occurred() ? -1 : 0;
}
// As PyDict_GetItemRef, AttributeError counting as not found.
static inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}
#endif

// ---- a type's namespace (3.12) --------------------------------------------
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyType_GetDict(PyTypeObject* type) {
    return Py_XNewRef(type->tp_dict);
}
#endif

// ---- dict and function watchers (3.12) ------------------------------------
// Older interpreters have none: adding a watcher fails, and callers check
// what they watch at each use instead.
#if PY_VERSION_HEX < 0x030C0000
typedef enum {
    PyDict_EVENT_ADDED,
    PyDict_EVENT_MODIFIED,
    PyDict_EVENT_DELETED,
    PyDict_EVENT_CLONED,
    PyDict_EVENT_CLEARED,
    PyDict_EVENT_DEALLOCATED,
} PyDict_WatchEvent;
typedef int (*PyDict_WatchCallback)(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value);
typedef enum {
    PyFunction_EVENT_CREATE,
    PyFunction_EVENT_DESTROY,
    PyFunction_EVENT_MODIFY_CODE,
    PyFunction_EVENT_MODIFY_DEFAULTS,
    PyFunction_EVENT_MODIFY_KWDEFAULTS,
} PyFunction_WatchEvent;
typedef int (*PyFunction_WatchCallback)(PyFunction_WatchEvent event, PyFunctionObject* func, PyObject* new_value);
static inline int PyDict_AddWatcher(PyDict_WatchCallback) {
    PyErr_SetString(PyExc_RuntimeError, "no dict watchers before 3.12");
    return -1;
}
static inline int PyDict_Watch(int, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError, "no dict watchers before 3.12");
    return -1;
}
static inline int PyFunction_AddWatcher(PyFunction_WatchCallback) {
    PyErr_SetString(PyExc_RuntimeError, "no function watchers before 3.12");
    return -1;
}
#endif

// ---- the GIL slot (3.13) ---------------------------------------------------
// A module slot row declaring that the module needs the GIL, so that a
// free-threaded interpreter turns it back on rather than run us in a race;
// nothing before 3.13, which has no such slot.
#ifdef Py_mod_gil
#define CRYPT_MAIN_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define CRYPT_MAIN_GIL_SLOT
#endif
