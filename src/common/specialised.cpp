#include "common/specialised.h"

#include "common/call.h"

#include <cstdlib>
#include <cstring>

namespace cm {

Pin* Pin::head_ = nullptr;

Pin::Pin(const Name& global, const Pin* owner, const Name* attribute)
    : global_(global), owner_(owner), attribute_(attribute), next_(head_) {
    head_ = this;
}

void Pin::record_all(Namespaces ns) {
    for (int pass = 0; pass < 2; pass++) {  // owners first
        for (Pin* p = head_; p; p = p->next_) {
            if ((p->owner_ != nullptr) != (pass == 1))
                continue;
            Ref value = p->owner_ ? (p->owner_->value_ ? attr(p->owner_->value_, *p->attribute_) : Ref())
                                  : global(ns, p->global_);
            if (!value)
                PyErr_Clear();
            Ref previous(std::exchange(p->value_, value.release()));
        }
    }
}

namespace {
// The entry `name` of `dict` is `expected`; looked up without running code
// of ours or the caller's (str keys).
bool entry_is(PyObject* dict, const Name& name, PyObject* expected) {
    PyObject* found;
    int present = PyDict_GetItemRef(dict, name.get(), &found);
    Ref held(found);
    if (present < 0)
        PyErr_Clear();
    return present > 0 && found == expected;
}
}  // namespace

bool Pin::holds(const Call& c) const {
    if (!value_)
        return false;
    if (!owner_)
        return entry_is(c.ns.globals.get(), global_, value_);
    // A module's attribute is the entry of its dict (see global_attr); a
    // class's is found by `type` itself, which runs nothing of anyone's.
    PyObject* owner = owner_->value_;
    if (PyModule_CheckExact(owner))
        return entry_is(PyModule_GetDict(owner), *attribute_, value_);
    if (Py_TYPE(owner) != &PyType_Type)
        return false;
    Ref now = attr(owner, *attribute_);
    if (!now)
        PyErr_Clear();
    return now.get() == value_;
}

bool all_hold(const Call& c, std::initializer_list<const Pin*> list) {
    for (const Pin* p : list)
        if (!p->holds(c))
            return false;
    return true;
}

namespace {
bool g_on = true;

// Both results of a first call are the same value: of one exact builtin type
// (str, bytes, int, float, bool, None, or a list, tuple or dict of such
// values, dict items in the same order) and equal; nothing else counts.
bool identical(PyObject* a, PyObject* b, int depth = 0) {
    if (Py_TYPE(a) != Py_TYPE(b) || depth > 64)
        return false;
    if (a == Py_None || PyBool_Check(a))
        return a == b;
    if (PyFloat_CheckExact(a)) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (PyList_CheckExact(a) || PyTuple_CheckExact(a)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(a);
        if (n != PySequence_Fast_GET_SIZE(b))
            return false;
        for (Py_ssize_t i = 0; i < n; i++)
            if (!identical(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i), depth + 1))
                return false;
        return true;
    }
    if (PyDict_CheckExact(a)) {
        if (PyDict_Size(a) != PyDict_Size(b))
            return false;
        Py_ssize_t i = 0, j = 0;
        PyObject *ka, *va, *kb, *vb;
        while (PyDict_Next(a, &i, &ka, &va))
            if (!PyDict_Next(b, &j, &kb, &vb) || !identical(ka, kb, depth + 1) || !identical(va, vb, depth + 1))
                return false;
        return true;
    }
    if (!(PyUnicode_CheckExact(a) || PyBytes_CheckExact(a) || PyLong_CheckExact(a)))
        return false;
    int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0)
        PyErr_Clear();
    return equal == 1;
}
}  // namespace

void read_switch() {
    const char* value = std::getenv("CRYPT_MAIN_GENERIC");
    g_on = !value || !*value || (value[0] == '0' && !value[1]);
}

Ref run_specialised(Specialisation& s, FastPath fast, Body generic, Call& c, Args a) {
    if (!g_on)
        return generic(c, a);
    Fast f = fast(c, a);
    if (!f.result) {
        PyErr_Clear();  // declined: the generic path does the work, its errors its own
        return generic(c, a);
    }
    Specialisation::State& state = s.state[f.variant];
    if (state == Specialisation::Enabled)
        return std::move(f.result);
    Ref result = generic(c, a);
    if (state == Specialisation::Unverified)
        state = result && identical(f.result.get(), result.get()) ? Specialisation::Enabled
                                                                  : Specialisation::Disabled;
    return result;
}

}  // namespace cm
