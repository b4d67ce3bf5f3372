#include "common/unpack.h"

#include <cstdio>
#include <cstring>

namespace cm {

namespace {

constexpr Py_ssize_t kMaxTargets = 4;

// `def unpack(seq): t0, ..., tn-1 = seq; return t0, ..., tn-1`, compiled
// once per n: the interpreter's own unpacking, with its own messages in
// every version ("cannot unpack non-iterable int object", "not enough
// values to unpack (expected 2, got 1)", ...).
PyObject* g_unpackers[kMaxTargets + 1];  // kept for the process

PyObject* unpacker(Py_ssize_t n) {
    if (g_unpackers[n])
        return g_unpackers[n];
    char targets[64] = "";
    for (Py_ssize_t i = 0; i < n; i++) {
        size_t used = std::strlen(targets);
        std::snprintf(targets + used, sizeof targets - used, "%st%zd", i ? ", " : "", i);
    }
    char source[200];
    std::snprintf(source, sizeof source, "def unpack(seq):\n    %s, = seq\n    return %s,\n", targets, targets);
    Ref code(Py_CompileString(source, "crypt_main.py", Py_file_input));
    Ref globals(code ? PyDict_New() : nullptr);
    Ref builtins(globals ? PyImport_ImportModule("builtins") : nullptr);
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0)
        return nullptr;
    Ref done(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    PyObject* function = nullptr;
    if (!done || PyDict_GetItemRef(globals.get(), Ref(PyUnicode_FromString("unpack")).get(), &function) <= 0)
        return nullptr;
    g_unpackers[n] = keep(Ref(function));
    return g_unpackers[n];
}

// The exception of a failed unpacking, without the unpacker's own entry in
// its traceback: what is left is what the caller's code ran.
void drop_unpacker_entry() {
    Ref raised(PyErr_GetRaisedException());
    Ref entry(raised ? PyException_GetTraceback(raised.get()) : nullptr);
    if (entry) {
        Ref rest(PyObject_GetAttrString(entry.get(), "tb_next"));
        if (rest)
            PyException_SetTraceback(raised.get(), rest.get());
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised.release());
}

}  // namespace

int unpack(PyObject* seq, Ref* out, Py_ssize_t n) {
    Ref items;
    if ((PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == n) || (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) == n)) {
        items = Ref::hold(seq);
    } else {
        PyObject* function = n <= kMaxTargets ? unpacker(n) : nullptr;
        if (!function) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "unpacking into too many targets");
            return -1;
        }
        PyObject* argv[] = {nullptr, seq};
        items = Ref(PyObject_Vectorcall(function, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!items) {
            drop_unpacker_entry();
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < n; i++)
        out[i] = Ref::hold(PySequence_Fast_ITEMS(items.get())[i]);
    return 0;
}

}  // namespace cm
