#include "module/binding.h"

namespace cm {

namespace {

PyObject* count_message(const MethodState& m, Py_ssize_t given) {
    if (m.nparams == 0)
        return PyUnicode_FromFormat("%.200s() takes no arguments (%zd given)", m.row->name, given);
    bool too_many = given > m.nparams;
    const char* qualifier = m.nrequired == m.nparams ? "exactly" : too_many ? "at most" : "at least";
    Py_ssize_t expected = too_many || m.nrequired == m.nparams ? m.nparams : m.nrequired;
    return PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", m.row->name, qualifier,
                                expected, expected == 1 ? "" : "s", given);
}

// The message depends on the method and the given count alone, so the
// common counts keep theirs.
int count_error(MethodState& m, Py_ssize_t given) {
    PyObject** cached = given < kCachedCounts ? &m.count_messages[given] : nullptr;
    Ref message = cached && *cached ? Ref::hold(*cached) : Ref(count_message(m, given));
    if (!message)
        return -1;
    if (cached && !*cached)
        *cached = keep(Ref::hold(message.borrowed()));
    PyErr_SetObject(PyExc_TypeError, message.get());
    return -1;
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

// Index of the keyword that names `param`, identity before value; -1 if none.
Py_ssize_t find_keyword(PyObject* const* names, Py_ssize_t nkw, PyObject* param) {
    for (Py_ssize_t j = 0; j < nkw; j++)
        if (names[j] == param)
            return j;
    for (Py_ssize_t j = 0; j < nkw; j++)
        if (same_name(names[j], param))
            return j;
    return -1;
}

int find_parameter(const MethodState& m, PyObject* name) {
    for (int i = 0; i < m.nparams; i++)
        if (m.param_names[i] == name)
            return i;
    for (int i = 0; i < m.nparams; i++)
        if (same_name(name, m.param_names[i]))
            return i;
    return -1;
}

// A keyword that the parameters after the positional ones did not take.
int keyword_error(const MethodState& m, PyObject* const* names, PyObject* const* values, Py_ssize_t nkw,
                  Py_ssize_t nargs, PyObject** bound) {
    for (Py_ssize_t j = 0; j < nkw; j++) {
        PyObject* name = names[j];
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", m.row->name);
            return -1;
        }
        int i = find_parameter(m, name);
        if (i >= nargs) {
            bound[i] = values[j];
        } else if (i >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", m.row->name, name);
            return -1;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.row->name, name);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int bind_arguments(MethodState& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (m.nparams == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", m.row->name);
            return -1;
        }
        if (nargs > 0)
            return count_error(m, nargs);
        return 0;
    }
    if (nargs > m.nparams)
        return count_error(m, nargs);
    for (Py_ssize_t i = 0; i < nargs; i++)
        bound[i] = args[i];

    if (nkw == 0) {
        if (nargs < m.nrequired)
            return count_error(m, nargs);
    } else {
        PyObject* const* names = &PyTuple_GET_ITEM(kwnames, 0);
        PyObject* const* values = args + nargs;
        Py_ssize_t used = 0;
        for (Py_ssize_t i = nargs; i < m.nparams; i++) {
            Py_ssize_t j = find_keyword(names, nkw, m.param_names[i]);
            if (j >= 0) {
                bound[i] = values[j];
                used++;
            } else if (i < m.nrequired) {
                return count_error(m, i);
            } else {
                bound[i] = nullptr;
            }
        }
        if (used < nkw && keyword_error(m, names, values, nkw, nargs, bound) < 0)
            return -1;
    }

    for (Py_ssize_t i = nargs; i < m.nparams; i++)
        if (nkw == 0 || !bound[i])
            bound[i] = m.defaults[i].get();
    return 0;
}

}  // namespace cm
