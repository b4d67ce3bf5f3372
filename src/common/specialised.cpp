#include "common/specialised.h"

#include "common/call.h"

#include <cstdlib>

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

// Both results of a first call are exact str or bytes: equal when of one type and equal.
bool identical(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b) || !(PyUnicode_CheckExact(a) || PyBytes_CheckExact(a)))
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

bool switch_on() { return g_on; }

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
