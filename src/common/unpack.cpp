#include "common/unpack.h"

namespace cm {

namespace {

int too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return -1;
}

int too_few(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return -1;
}

int unpack_iterable(PyObject* seq, Ref* out, Py_ssize_t n) {
    Ref it(PyObject_GetIter(seq));
    if (!it)
        return -1;
    for (Py_ssize_t i = 0; i < n; i++) {
        out[i] = Ref(PyIter_Next(it.get()));
        if (!out[i])
            return PyErr_Occurred() ? -1 : too_few(i);
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra)
        return too_many(n);
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int unpack(PyObject* seq, Ref* out, Py_ssize_t n) {
    PyObject* const* items;
    Py_ssize_t size;
    if (PyTuple_CheckExact(seq)) {
        items = &PyTuple_GET_ITEM(seq, 0);
        size = PyTuple_GET_SIZE(seq);
    } else if (PyList_CheckExact(seq)) {
        items = PySequence_Fast_ITEMS(seq);
        size = PyList_GET_SIZE(seq);
    } else {
        int ok = unpack_iterable(seq, out, n);
        if (ok < 0)
            for (Py_ssize_t i = 0; i < n; i++)
                out[i] = Ref();
        return ok;
    }
    if (size > n)
        return too_many(n);
    if (size < n)
        return too_few(size);
    for (Py_ssize_t i = 0; i < n; i++)
        out[i] = Ref::hold(items[i]);
    return 0;
}

}  // namespace cm
