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
// Through the tuple and dict call, the one public call of these versions.
static inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                            PyObject* kwnames) {
    Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* positional = PyTuple_New(npos);
    if (!positional)
        return nullptr;
    for (Py_ssize_t i = 0; i < npos; i++)
        PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
    PyObject* keywords = nkw ? PyDict_New() : nullptr;
    for (Py_ssize_t i = 0; keywords && i < nkw; i++) {
        if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[npos + i]) < 0) {
            Py_DECREF(keywords);
            keywords = nullptr;
        }
    }
    PyObject* result = !nkw || keywords ? PyObject_Call(callable, positional, keywords) : nullptr;
    Py_DECREF(positional);
    Py_XDECREF(keywords);
    return result;
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

namespace cm::backports {

// Makes a static type callable through the vectorcall pointer at `offset` of
// its objects. Before 3.9 the slot is not public: tp_call unpacks the tuple
// and dict and forwards them to Entry.
template <PyObject* (*Entry)(PyObject*, PyObject* const*, size_t, PyObject*)>
struct VectorcallType {
#if PY_VERSION_HEX >= 0x03090000
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

// ---- ints to and from native bytes (3.13) ---------------------------------
// Through int.to_bytes and int.from_bytes; an int to_bytes refuses (negative,
// or too long) is taken 64 bits at a time, the low bits by mask and the rest
// by an arithmetic shift, its two's complement. The bytes needed are the
// fewest that hold the value (3.13 may report more, as documented).
#if PY_VERSION_HEX < 0x030D0000
#define Py_ASNATIVEBYTES_DEFAULTS -1
#define Py_ASNATIVEBYTES_BIG_ENDIAN 0
#define Py_ASNATIVEBYTES_LITTLE_ENDIAN 1
#define Py_ASNATIVEBYTES_NATIVE_ENDIAN 3
#define Py_ASNATIVEBYTES_UNSIGNED_BUFFER 4
#define Py_ASNATIVEBYTES_REJECT_NEGATIVE 8
#define Py_ASNATIVEBYTES_ALLOW_INDEX 16

namespace cm::backports {
inline int little_endian_flag(int flags) {
    if (flags == -1 || (flags & Py_ASNATIVEBYTES_NATIVE_ENDIAN) == Py_ASNATIVEBYTES_NATIVE_ENDIAN)
        return PY_LITTLE_ENDIAN;
    return flags & Py_ASNATIVEBYTES_LITTLE_ENDIAN;
}

// An interned name, made once and kept.
inline PyObject* kept_name(PyObject*& slot, const char* text) {
    if (!slot)
        slot = PyUnicode_InternFromString(text);
    return slot;
}
inline PyObject* byteorder_name(int little) {
    static PyObject *little_name, *big_name;
    return little ? kept_name(little_name, "little") : kept_name(big_name, "big");
}

// Bits of |v| (v an int), as int.bit_length gives them.
inline long long bit_length(PyObject* v) {
    PyObject* bits = PyObject_CallMethod(v, "bit_length", nullptr);
    if (!bits)
        return -1;
    long long n = PyLong_AsLongLong(bits);
    Py_DECREF(bits);
    return n;
}
}  // namespace cm::backports

static inline Py_ssize_t PyLong_AsNativeBytes(PyObject* v, void* buffer, Py_ssize_t n_bytes, int flags) {
    PyObject* value;
    if (PyLong_Check(v)) {
        value = Py_NewRef(v);
    } else if (flags != -1 && (flags & Py_ASNATIVEBYTES_ALLOW_INDEX)) {
        value = PyNumber_Index(v);
        if (!value)
            return -1;
    } else {
        PyErr_Format(PyExc_TypeError, "expect int, got %s", Py_TYPE(v)->tp_name);
        return -1;
    }
    int overflow;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (small == -1 && PyErr_Occurred()) {
        Py_DECREF(value);
        return -1;
    }
    bool negative = overflow ? overflow < 0 : small < 0;
    if (negative && flags != -1 && (flags & Py_ASNATIVEBYTES_REJECT_NEGATIVE)) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_ValueError, "Cannot convert negative int");
        return -1;
    }
    int little = cm::backports::little_endian_flag(flags);
    unsigned char* out = (unsigned char*)buffer;
    long long bits = 0;  // of |value|
    if (!overflow) {
        unsigned long long chunk = (unsigned long long)small;
        for (Py_ssize_t i = 0; i < n_bytes; i++)
            out[little ? i : n_bytes - 1 - i] = (unsigned char)(i < 8 ? chunk >> (8 * i) : negative ? 0xff : 0);
        unsigned long long magnitude = negative ? 0 - chunk : chunk;
        bits = magnitude ? 64 - __builtin_clzll(magnitude) : 0;
    } else if (!negative && n_bytes > 0) {
        // to_bytes(n_bytes, order) when it fits; else the chunks as below
        static PyObject* to_bytes;
        PyObject* size = PyLong_FromSsize_t(n_bytes);
        PyObject* order = cm::backports::byteorder_name(little);
        PyObject* name = cm::backports::kept_name(to_bytes, "to_bytes");
        PyObject* args[] = {value, size, order};
        PyObject* bytes =
            size && order && name ? PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                                  : nullptr;
        Py_XDECREF(size);
        if (bytes) {
            memcpy(out, PyBytes_AS_STRING(bytes), (size_t)n_bytes);
            Py_DECREF(bytes);
            Py_ssize_t top = n_bytes;
            while (top && !out[little ? top - 1 : n_bytes - top])
                top--;
            bits = top ? 8 * (top - 1) + 32 - __builtin_clz(out[little ? top - 1 : n_bytes - top]) : 0;
        } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            bits = -1;
        } else {
            Py_DECREF(value);
            return -1;
        }
    }
    if (overflow && (negative || n_bytes <= 0 || bits < 0)) {
        PyObject* shift = PyLong_FromLong(64);
        PyObject* rest = Py_NewRef(value);
        for (Py_ssize_t at = 0; at < n_bytes && shift && rest; at += 8) {
            unsigned long long chunk = PyLong_AsUnsignedLongLongMask(rest);
            for (Py_ssize_t i = at; i < n_bytes && i < at + 8; i++)
                out[little ? i : n_bytes - 1 - i] = (unsigned char)(chunk >> (8 * (i - at)));
            PyObject* next = PyNumber_Rshift(rest, shift);
            Py_DECREF(rest);
            rest = next;
        }
        Py_XDECREF(shift);
        if (!shift || !rest) {
            Py_XDECREF(rest);
            Py_DECREF(value);
            return -1;
        }
        Py_DECREF(rest);
        bits = cm::backports::bit_length(value);
        if (bits < 0) {
            Py_DECREF(value);
            return -1;
        }
    }
    Py_DECREF(value);
    // the bits and one for the sign
    Py_ssize_t res = (Py_ssize_t)(bits / 8) + 1;
    if (n_bytes > 0 && res == n_bytes + 1 && bits % 8 == 0) {
        if (negative) {
            // -2^(8 n_bytes - 1) needs no further bit for its sign
            bool edge = out[little ? n_bytes - 1 : 0] == 0x80;
            for (Py_ssize_t i = 1; i < n_bytes && edge; i++)
                edge = out[little ? n_bytes - 1 - i : i] == 0;
            if (edge)
                res = n_bytes;
        } else if (flags == -1 || (flags & Py_ASNATIVEBYTES_UNSIGNED_BUFFER)) {
            res = n_bytes;  // the top bit is set: an unsigned buffer holds it
        }
    }
    return res;
}

static inline PyObject* PyLong_FromUnsignedNativeBytes(const void* buffer, size_t n_bytes, int flags) {
    static PyObject* from_bytes;
    PyObject* name = cm::backports::kept_name(from_bytes, "from_bytes");
    PyObject* order = cm::backports::byteorder_name(cm::backports::little_endian_flag(flags));
    PyObject* bytes = name && order ? PyBytes_FromStringAndSize((const char*)buffer, (Py_ssize_t)n_bytes) : nullptr;
    if (!bytes)
        return nullptr;
    PyObject* args[] = {(PyObject*)&PyLong_Type, bytes, order};
    PyObject* result = PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(bytes);
    return result;
}

#endif

// ---- a frame's code and globals (3.9, 3.11) --------------------------------
// Before, through the frame's attributes: no struct fields.
#if PY_VERSION_HEX < 0x03090000
static inline PyCodeObject* PyFrame_GetCode(PyFrameObject* frame) {
    return (PyCodeObject*)PyObject_GetAttrString((PyObject*)frame, "f_code");
}
#endif
#if PY_VERSION_HEX < 0x030B0000
static inline PyObject* PyFrame_GetGlobals(PyFrameObject* frame) {
    return PyObject_GetAttrString((PyObject*)frame, "f_globals");
}
#endif

// ---- the cyclic garbage collector switched (3.10) --------------------------
// Before, through the gc module's functions. Each returns the previous state.
#if PY_VERSION_HEX < 0x030A0000
static inline int cm_gc_switch(const char* action) {
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* was = gc ? PyObject_CallMethod(gc, "isenabled", nullptr) : nullptr;
    PyObject* done = was ? PyObject_CallMethod(gc, action, nullptr) : nullptr;
    int previous = done ? PyObject_IsTrue(was) : -1;
    Py_XDECREF(done);
    Py_XDECREF(was);
    Py_XDECREF(gc);
    if (previous < 0)
        PyErr_Clear();
    return previous > 0;
}
static inline int PyGC_Enable(void) { return cm_gc_switch("enable"); }
static inline int PyGC_Disable(void) { return cm_gc_switch("disable"); }
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
