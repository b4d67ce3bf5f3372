#include "common/specialised.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace cm {

namespace {

bool g_on = true;

// ---- watchers (3.12+) -------------------------------------------------------
// One dict watcher and one function watcher for the whole module (an
// interpreter has only a few of each). Any event on a watched dict, or a
// change of a watched function's code or defaults, starts a new generation:
// every guard then compares its steps once more at its next call.

int g_dict_watcher = -1;
int g_function_watcher = -1;
uint64_t g_generation = 1;

constexpr size_t kMaxWatchedFunctions = 256;
PyObject* g_functions[kMaxWatchedFunctions];  // compared by address only
size_t g_function_count = 0;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    g_generation++;
    return 0;
}

int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* function, PyObject*) {
    if (event == PyFunction_EVENT_CREATE || event == PyFunction_EVENT_DESTROY)
        return 0;
    for (size_t i = 0; i < g_function_count; i++) {
        if (g_functions[i] == reinterpret_cast<PyObject*>(function)) {
            g_generation++;
            break;
        }
    }
    return 0;
}

bool watching() {
    return g_dict_watcher >= 0 && g_function_watcher >= 0;
}

bool watch_dict(PyObject* dict) {
    if (PyDict_Watch(g_dict_watcher, dict) == 0)
        return true;
    PyErr_Clear();
    return false;
}

bool watch_function(PyObject* function) {
    for (size_t i = 0; i < g_function_count; i++)
        if (g_functions[i] == function)
            return true;
    if (g_function_count == kMaxWatchedFunctions)
        return false;
    g_functions[g_function_count++] = function;
    return true;
}

// ---- what the library's own looks like -------------------------------------

void put(PyObject*& slot, Ref value) {
    Ref old(std::exchange(slot, value.release()));
}

bool text_is(PyObject* text, const char* expected) {
    return text && PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// obj.<attribute> is the str `expected`, for objects of the interpreter's
// own types, whose attributes run nothing of anyone's.
bool attribute_is(PyObject* obj, const char* attribute, const char* expected) {
    Ref value(PyObject_GetAttrString(obj, attribute));
    return text_is(value.get(), expected);
}

// Whether the str obj.<attribute> is one of the names "a|b|...", where the
// library's releases name one function differently; the name it is goes
// to `found`.
bool matching(PyObject* obj, const char* attribute, const char* names, char (&found)[128]) {
    Ref value(PyObject_GetAttrString(obj, attribute));
    for (const char* p = names; value && *p;) {
        size_t length = std::strcspn(p, "|");
        std::snprintf(found, sizeof found, "%.*s", (int)length, p);
        if (length < sizeof found && text_is(value.get(), found))
            return true;
        p += length + (p[length] == '|');
    }
    return false;
}

Ref module_named(const char* name) {
    Ref key(PyUnicode_FromString(name));
    Ref module(key ? PyImport_GetModule(key.get()) : nullptr);
    if (!module || !PyModule_CheckExact(module.get()))
        return {};
    return module;
}

// Equal tuples (or both absent) of None, bools, ints and strs: the kind of
// defaults the libraries' functions have, compared without running code.
bool plain_equal(PyObject* a, PyObject* b) {
    if (a == b)
        return true;
    if (!a || !b || !PyTuple_CheckExact(a) || !PyTuple_CheckExact(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); i++) {
        PyObject *x = PyTuple_GET_ITEM(a, i), *y = PyTuple_GET_ITEM(b, i);
        if (x == y)
            continue;
        bool plain = Py_TYPE(x) == Py_TYPE(y) && (PyUnicode_CheckExact(x) || PyLong_CheckExact(x));
        if (!plain || PyObject_RichCompareBool(x, y, Py_EQ) != 1)
            return false;
    }
    return true;
}

// The last part of a qualified name: "EcbMode.encrypt" -> "encrypt".
const char* last_part(const char* qualname) {
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
}

bool own_value(PyObject* v, const char* repr) {
    bool ints = PyLong_CheckExact(v);
    if (PyTuple_CheckExact(v)) {
        ints = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); i++)
            ints = ints && PyLong_CheckExact(PyTuple_GET_ITEM(v, i));
    }
    if (!ints)
        return false;
    Ref text(PyObject_Repr(v));
    return text_is(text.get(), repr);
}

}  // namespace

bool Guard::resolve_step(size_t i, const Call& c) {
    const Step& s = steps_[i];
    Seen& seen = seen_[i];
    put(seen.code, Ref());
    put(seen.defaults, Ref());
    put(seen.kwdefaults, Ref());

    // Where the step reads.
    Ref dict;
    const char* key = s.attribute;
    switch (s.from) {
    case From::Global:
        dict = Ref::hold(c.ns.globals);
        break;
    case From::SysModules:
        dict = Ref::hold(PyImport_GetModuleDict());
        break;
    case From::Module:
        if (Ref module = module_named(s.module)) {
            dict = Ref::hold(PyModule_GetDict(module.get()));
        } else {
            // Not imported yet: watch for it to appear.
            PyErr_Clear();
            dict = Ref::hold(PyImport_GetModuleDict());
            key = s.module;
        }
        break;
    case From::Class: {
        PyObject* owner = seen_[s.of].value;
        if (owner && PyType_Check(owner))
            dict = Ref(PyType_GetDict(reinterpret_cast<PyTypeObject*>(owner)));
        break;
    }
    }
    if (!dict) {
        // Its owner is not what it should be; the owner's step is compared.
        put(seen.dict, Ref());
        put(seen.key, Ref());
        put(seen.value, Ref());
        return false;
    }
    Ref name(PyUnicode_InternFromString(key));
    if (!name)
        return false;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict.get(), name.get(), &found) < 0)
        return false;
    Ref value(found);
    put(seen.dict, std::move(dict));
    put(seen.key, std::move(name));
    put(seen.value, Ref::hold(value.get()));
    if (key != s.attribute)
        return false;  // read in place of a module not imported yet
    if (!value) {
        // Not in this release of the library, whose code therefore does not
        // reach it: nothing to compare.
        if (s.optional)
            put(seen.dict, Ref());
        return s.optional;
    }

    PyObject* v = value.get();
    switch (s.own) {
    case Own::Module: {
        Ref module = module_named(s.origin);
        return module && module.get() == v && attribute_is(v, "__name__", s.origin);
    }
    case Own::Builtin: {
        if (!Py_IS_TYPE(v, &PyCFunction_Type))
            return false;
        Ref module = module_named(s.origin);
        return module && PyCFunction_GetSelf(v) == module.get() && attribute_is(v, "__name__", s.expect);
    }
    case Own::Class:
        return Py_IS_TYPE(v, &PyType_Type) &&
               (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(v)) & Py_TPFLAGS_HEAPTYPE) &&
               attribute_is(v, "__module__", s.origin) && attribute_is(v, "__qualname__", s.expect);
    case Own::Value:
        return own_value(v, s.expect);
    case Own::ModuleClass:
        return is_module_class(v);
    case Own::ModuleMethod: {
        if (!Py_IS_TYPE(v, &PyStaticMethod_Type))
            return false;
        Ref function(PyObject_GetAttrString(v, "__func__"));
        return function && is_module_method(function.get(), s.body);
    }
    case Own::Function:
        break;
    }

    // A function: of the library's module, by the library's name, with the
    // library's code and defaults.
    if (!PyFunction_Check(v))
        return false;
    put(seen.code, Ref::hold(PyFunction_GetCode(v)));
    put(seen.defaults, Ref::hold(PyFunction_GetDefaults(v)));
    put(seen.kwdefaults, Ref::hold(PyFunction_GetKwDefaults(v)));
    Ref module = module_named(s.origin);
    char qualname[128];
    if (!module || PyFunction_GetGlobals(v) != PyModule_GetDict(module.get()) || PyFunction_GetClosure(v) ||
        !matching(v, "__qualname__", s.expect, qualname))
        return false;
    if (seen.first_code)
        return seen.code == seen.first_code && plain_equal(seen.defaults, seen.first_defaults) &&
               plain_equal(seen.kwdefaults, seen.first_kwdefaults);
    // First found: its code must come from the module's own file.
    Ref file(PyObject_GetAttrString(module.get(), "__file__"));
    Ref code_file(PyObject_GetAttrString(seen.code, "co_filename"));
    if (!file || !code_file || !PyUnicode_Check(file.get()) ||
        PyUnicode_Compare(file.get(), code_file.get()) != 0 || !attribute_is(seen.code, "co_name", last_part(qualname)))
        return false;
    put(seen.first_code, Ref::hold(seen.code));
    put(seen.first_defaults, Ref::hold(seen.defaults));
    put(seen.first_kwdefaults, Ref::hold(seen.kwdefaults));
    return true;
}

bool Guard::resolve(const Call& c) {
    put(globals_, Ref::hold(c.ns.globals));
    bool own = true, watched = watching();
    for (size_t i = 0; i < count_; i++) {
        own = resolve_step(i, c) && own;
        PyErr_Clear();
        const Seen& seen = seen_[i];
        if (watched && seen.dict)
            watched = watch_dict(seen.dict) && (!seen.code || watch_function(seen.value));
    }
    resolved_ = count_;
    watched_ = watched;
    return own;
}

bool Guard::same(const Call& c) const {
    if (c.ns.globals.get() != globals_)
        return false;
    for (size_t i = 0; i < resolved_; i++) {
        const Seen& s = seen_[i];
        if (!s.dict)
            continue;
        PyObject* now = PyDict_GetItemWithError(s.dict, s.key);  // compared, not kept
        if (now != s.value) {
            PyErr_Clear();
            return false;
        }
        if (s.code && (PyFunction_GET_CODE(now) != s.code || PyFunction_GET_DEFAULTS(now) != s.defaults ||
                       PyFunction_GET_KW_DEFAULTS(now) != s.kwdefaults))
            return false;
    }
    return true;
}

bool Guard::holds(const Call& c) {
    if (watched_ && generation_ == g_generation && c.ns.globals.get() == globals_)
        return own_;
    // Unchanged since it was last resolved: that verdict stands, whatever it
    // was (a stand-in found there is declined again at the price of a look).
    if (!same(c))
        own_ = resolve(c);
    generation_ = g_generation;
    return own_;
}

namespace {

// Both results agree: exact str or bytes, of one type and equal.
bool identical(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b) || !(PyUnicode_CheckExact(a) || PyBytes_CheckExact(a)))
        return false;
    int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0)
        PyErr_Clear();
    return equal == 1;
}

}  // namespace

void start_specialised_paths() {
    const char* value = std::getenv("CRYPT_MAIN_GENERIC");
    g_on = !value || !*value || (value[0] == '0' && !value[1]);
    if (g_dict_watcher < 0)
        g_dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_function_watcher < 0)
        g_function_watcher = PyFunction_AddWatcher(on_function_event);
    PyErr_Clear();  // without watchers, guards compare at each call
}

Ref run_specialised(Specialisation& s, const SpecialisedPath& p, Body generic, Call& c, Args a) {
    if (!g_on)
        return generic(c, a);
    int branch = p.choose(c, a);
    if (branch < 0 || branch >= p.branches)
        return generic(c, a);
    Specialisation::State& state = s.state[branch];
    if (state == Specialisation::Enabled) {
        Ref fast = p.run(branch, c, a);
        if (fast)
            return fast;
        PyErr_Clear();  // declined: the generic path does the work, its errors its own
        return generic(c, a);
    }
    if (state != Specialisation::Unverified)
        return generic(c, a);
    // The verifying call, one at a time: both paths, the generic result
    // returned; the branch's state is settled only once both have finished.
    state = Specialisation::Verifying;
    c.verifying = true;
    Ref fast = p.run(branch, c, a);
    c.verifying = false;
    if (!fast) {
        PyErr_Clear();
        state = Specialisation::Unverified;
        return generic(c, a);
    }
    Ref result = generic(c, a);
    // (a generic path that fails keeps its exception: the call's own)
    bool agree = result && (p.agree ? p.agree(fast.get(), result.get()) : identical(fast.get(), result.get()));
    if (!agree)
        state = Specialisation::Disabled;
    else if (++s.verified[branch] >= (p.libraries ? p.libraries->verifications() : 1))
        state = Specialisation::Enabled;
    else
        state = Specialisation::Unverified;
    return result;
}

const char* specialisation_word(const Specialisation& s, const SpecialisedPath& p, int b) {
    if (!g_on || (p.libraries && p.libraries->ruled_out()))
        return "off";
    static const char* const words[] = {"unverified", "enabled", "disabled", "unverified"};
    return words[s.state[b]];
}

}  // namespace cm
