#include "common/dependencies.h"

#include "common/ownership.h"
#include "common/watchers.h"

#include <utility>

namespace cm {

namespace {

// Keys that no code of the libraries reads, written meanwhile by others: a
// module's __warningregistry__ (the warnings machinery's note of what it
// has shown from there), the builtins' `_` (the last value the
// interactive interpreter or doctest displayed), and the hooks threading
// keeps for threads yet to start: excepthook (which test runners swap
// around each test, as pytest 8.3 does) and what threading.settrace and
// setprofile set. Those are the process's settings, as sys's and warnings'
// are.
PyObject* g_builtins = nullptr;  // the builtins' namespace of the recordings

bool threading_hook(PyObject* dict, PyObject* key) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    if (n != 10 && n != 11 && n != 13)
        return false;
    if (PyUnicode_CompareWithASCIIString(key, "excepthook") != 0 &&
        PyUnicode_CompareWithASCIIString(key, "_trace_hook") != 0 &&
        PyUnicode_CompareWithASCIIString(key, "_profile_hook") != 0)
        return false;
    PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");  // borrowed
    return threading && PyModule_Check(threading) && PyModule_GetDict(threading) == dict;
}

bool ignored(PyObject* dict, PyObject* key) {
    if (!PyUnicode_CheckExact(key))
        return false;
    if (dict == g_builtins)
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '_';
    return (PyUnicode_GET_LENGTH(key) == 19 && PyUnicode_CompareWithASCIIString(key, "__warningregistry__") == 0) ||
           threading_hook(dict, key);
}

// The namespace's copy, but for what is ignored.
Ref copy_of(PyObject* dict) {
    Ref copy(PyDict_Copy(dict));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (copy && PyDict_Next(dict, &pos, &key, &value))
        if (ignored(dict, key) && PyDict_DelItem(copy.get(), key) < 0)
            return {};
    return copy;
}

// A namespace's entry: the dict, its copy, whether code runs in it, the
// events it had had when copied, and the names by which the recorded code
// reads it (None: any key may be read, as in a class or a dict a path named).
Ref dict_entry(PyObject* dict, bool first, PyObject* reads = Py_None) {
    if (watching())
        watch_dict(dict);  // counted from before the copy on
    Ref copy = copy_of(dict);
    Ref events(copy ? PyLong_FromUnsignedLongLong(dict_events(dict)) : nullptr);
    return Ref(events ? PyTuple_Pack(5, dict, copy.get(), first ? Py_True : Py_False, events.get(), reads) : nullptr);
}

// The names that code reads a module's namespace by: those its instructions
// name (globals, attributes, imported names) and its str constants (getattr
// with a literal name). A frozenset; empty on failure.
Ref names_read(PyObject* const* codes, const bool* own, size_t count) {
    Ref names(PySet_New(nullptr));
    for (size_t i = 0; names && i < count; i++) {
        if (!own[i])
            continue;
        for (const char* field : {"co_names", "co_consts"}) {
            Ref items(PyObject_GetAttrString(codes[i], field));
            if (!items || !PyTuple_CheckExact(items.get()))
                return {};
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); j++) {
                PyObject* item = PyTuple_GET_ITEM(items.get(), j);
                if (PyUnicode_CheckExact(item) && PySet_Add(names.get(), item) < 0)
                    return {};
            }
        }
    }
    return Ref(names ? PyFrozenSet_New(names.get()) : nullptr);
}

class Collector {
public:
    Collector(PyObject* list, PyObject* seen) : list_(list), seen_(seen) {}

    // Adds `dict` once; -1 on failure.
    int add(PyObject* dict, bool first, PyObject* reads = Py_None) {
        Ref id(PyLong_FromVoidPtr(dict));
        if (!id)
            return -1;
        int known = PyDict_Contains(seen_, id.get());
        if (known != 0)
            return known;  // -1, or already there
        Ref entry = dict_entry(dict, first, reads);
        if (!entry || PyDict_SetItem(seen_, id.get(), Py_None) < 0)
            return -1;
        return PyList_Append(list_, entry.get());
    }

    int add_function(PyObject* f) {
        auto or_none = [](PyObject* o) { return o ? o : Py_None; };
        Ref id(PyLong_FromVoidPtr(f));
        if (!id)
            return -1;
        int known = PyDict_Contains(seen_, id.get());
        if (known != 0)
            return known;
        Ref entry(PyTuple_Pack(4, f, PyFunction_GetCode(f), or_none(PyFunction_GetDefaults(f)),
                               or_none(PyFunction_GetKwDefaults(f))));
        if (!entry || PyDict_SetItem(seen_, id.get(), Py_None) < 0)
            return -1;
        return PyList_Append(list_, entry.get());
    }

private:
    PyObject* list_;
    PyObject* seen_;  // id -> None
};

// The function that `value` is or wraps (staticmethod, classmethod), if its
// code is `code`.
bool holds_code(PyObject* value, PyObject* code, PyObject** function) {
    Ref inner;
    if (Py_IS_TYPE(value, &PyStaticMethod_Type) || Py_IS_TYPE(value, &PyClassMethod_Type)) {
        inner = Ref(PyObject_GetAttrString(value, "__func__"));
        PyErr_Clear();
        value = inner.get();
    }
    if (!value || !PyFunction_Check(value) || PyFunction_GetCode(value) != code)
        return false;
    *function = value;
    return true;
}

// A class's namespace and those of the heap types of its MRO.
int add_class(Collector& out, PyTypeObject* type) {
    Ref mro(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    if (!mro || !PyTuple_CheckExact(mro.get()))
        return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); i++) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        if (static_type(base))
            continue;
        Ref ns(PyType_GetDict(base));
        if (!ns || out.add(ns.get(), true) < 0)
            return -1;
    }
    return 0;
}

// The classes of `globals` that hold a function running `code`, and the
// function: found by the code's qualified name where it has one (3.11+),
// else among the module's classes.
int add_owners(Collector& out, PyObject* code, PyObject* globals) {
    PyObject* function = nullptr;
    Ref qualname(PyObject_GetAttrString(code, "co_qualname"));
    if (qualname && PyUnicode_CheckExact(qualname.get())) {
        Ref dot(PyUnicode_FromString("."));
        Ref parts(dot ? PyUnicode_Split(qualname.get(), dot.get(), -1) : nullptr);
        if (!parts)
            return -1;
        Py_ssize_t n = PyList_GET_SIZE(parts.get());
        PyObject* ns = globals;
        Ref owner_ns;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* value = PyDict_GetItemWithError(ns, PyList_GET_ITEM(parts.get(), i));
            if (!value)
                break;  // <locals>, a lambda, or no longer there: nothing to add
            if (i == n - 1) {
                if (holds_code(value, code, &function) && out.add_function(function) < 0)
                    return -1;
                break;
            }
            if (!PyType_Check(value))
                break;
            if (add_class(out, reinterpret_cast<PyTypeObject*>(value)) < 0)
                return -1;
            owner_ns = Ref(PyType_GetDict(reinterpret_cast<PyTypeObject*>(value)));
            if (!owner_ns)
                return -1;
            ns = owner_ns.get();
        }
        PyErr_Clear();
        return 0;
    }
    PyErr_Clear();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(globals, &pos, &key, &value)) {
        if (holds_code(value, code, &function) && out.add_function(function) < 0)
            return -1;
        if (!PyType_Check(value) || static_type(reinterpret_cast<PyTypeObject*>(value)))
            continue;
        Ref ns(PyType_GetDict(reinterpret_cast<PyTypeObject*>(value)));
        Py_ssize_t inner = 0;
        PyObject *name, *member;
        while (ns && PyDict_Next(ns.get(), &inner, &name, &member)) {
            if (!holds_code(member, code, &function))
                continue;
            if (out.add_function(function) < 0 || add_class(out, reinterpret_cast<PyTypeObject*>(value)) < 0)
                return -1;
        }
    }
    return 0;
}

// sys and warnings hold the process's settings (the streams a test runner
// swaps, the filters each catch_warnings saves and restores), not code the
// library runs: their namespaces change all the time and mean nothing here.
bool settings_module(PyObject* m) {
    PyObject* name = text_item(PyModule_GetDict(m), "__name__");
    return name && (PyUnicode_CompareWithASCIIString(name, "sys") == 0 ||
                    PyUnicode_CompareWithASCIIString(name, "warnings") == 0);
}

// What a module's namespace holds that code reads through: the namespaces
// of the modules, the dicts, and the instance dicts of the objects in it.
int add_held(Collector& out, PyObject* globals) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(globals, &pos, &key, &value)) {
        if (ignored(globals, key))
            continue;
        PyObject* dict = nullptr;
        Ref instance_dict;
        if (PyDict_CheckExact(value)) {
            dict = value;
        } else if (PyModule_CheckExact(value) && !settings_module(value)) {
            dict = PyModule_GetDict(value);
        } else if (!static_type(Py_TYPE(value)) && !PyType_Check(value)) {
            instance_dict = Ref(PyObject_GenericGetDict(value, nullptr));
            PyErr_Clear();  // no __dict__: nothing to add
            dict = instance_dict && PyDict_CheckExact(instance_dict.get()) ? instance_dict.get() : nullptr;
        }
        if (dict && out.add(dict, false) < 0)
            return -1;
    }
    return 0;
}

// The same keys and values, in the same order: compared without running
// anyone's code.
bool same_items(PyObject* dict, PyObject* copy) {
    Py_ssize_t i = 0, j = 0, seen = 0;
    PyObject *k1, *v1, *k2, *v2;
    while (PyDict_Next(dict, &i, &k1, &v1)) {
        if (ignored(dict, k1))
            continue;
        if (!PyDict_Next(copy, &j, &k2, &v2) || k1 != k2 || v1 != v2)
            return false;
        seen++;
    }
    return seen == PyDict_Size(copy);
}

// The same, or grown by values that look like the libraries' own: a
// library's lazily filled caches (ctypes' functions, found at their first
// call), a package's submodule imported since. An instance's dict follows
// the order its class's instances share. In a namespace that code runs in,
// no new key may hide a built-in. Keys are looked up only where all are
// exact str, whose comparison runs no code.
bool same_or_grown(PyObject* dict, PyObject* copy, bool runs_in) {
    Py_ssize_t i = 0, found = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &i, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    i = 0;
    while (PyDict_Next(copy, &i, &key, &value)) {
        if (PyDict_GetItemWithError(dict, key) != value) {
            PyErr_Clear();
            return false;
        }
        found++;
    }
    i = 0;
    while (PyDict_Next(dict, &i, &key, &value)) {
        if (ignored(dict, key) || PyDict_GetItemWithError(copy, key))
            continue;
        if (PyErr_Occurred() || (runs_in && (!g_builtins || PyDict_GetItemWithError(g_builtins, key))) ||
            !own_looking(value)) {
            PyErr_Clear();
            return false;
        }
    }
    return found == PyDict_Size(copy);
}

// A special method's name ("__init__"): read by the interpreter itself,
// named in no code.
bool special(PyObject* key) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    return n > 4 && PyUnicode_READ_CHAR(key, 0) == '_' && PyUnicode_READ_CHAR(key, 1) == '_' &&
           PyUnicode_READ_CHAR(key, n - 1) == '_' && PyUnicode_READ_CHAR(key, n - 2) == '_';
}

// Whether the str-keyed `copy` has every key of `before` that the code may
// read (`reads`, or any where None), and what differs there looks like the
// library's own. A name that no recorded code reads may hold anything: a
// package imported since may have rebound it for good (typing_extensions
// puts its own helpers into typing's namespace), and a fresh process that
// imported it first would enable the branch all the same.
bool keeps_namespace(PyObject* copy, PyObject* before, PyObject* reads) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;  // a key whose look-up would run someone's __eq__
    pos = 0;
    while (PyDict_Next(before, &pos, &key, &value)) {
        if (reads != Py_None && PyUnicode_CheckExact(key) && !special(key)) {
            int read = PySet_Contains(reads, key);  // str: no one's code runs
            if (read < 0) {
                PyErr_Clear();
                return false;
            }
            if (!read)
                continue;
        }
        PyObject* now = PyUnicode_CheckExact(key) ? PyDict_GetItemWithError(copy, key) : nullptr;
        if (!now) {
            PyErr_Clear();
            return false;
        }
        if (now != value && !own_looking(now))
            return false;
    }
    return true;
}

}  // namespace

Ref collect_dependencies(PyObject* const* codes, PyObject* const* globals, const bool* own, size_t count,
                         PyObject* builtins) {
    Ref list(PyList_New(0)), seen(PyDict_New());
    if (!list || !seen)
        return {};
    Ref reads = names_read(codes, own, count);
    if (!reads)
        return {};
    Collector out(list.get(), seen.get());
    if (!g_builtins)
        g_builtins = Ref::hold(builtins).release();  // one interpreter, one builtins
    int rc = out.add(builtins, true, reads.get());
    for (size_t i = 0; rc == 0 && i < count; i++)
        if (own[i])
            rc = out.add(globals[i], true, reads.get()) < 0 || add_owners(out, codes[i], globals[i]) < 0 ? -1 : 0;
    for (size_t i = 0; rc == 0 && i < count; i++)
        if (own[i])
            rc = add_held(out, globals[i]);
    return rc < 0 ? Ref() : std::move(list);
}

int Dependencies::add(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) {
        PyErr_SetString(PyExc_TypeError, "a dependency is a dict");
        return -1;
    }
    Ref entry = dict_entry(dict, true);
    return entry ? PyList_Append(list_, entry.get()) : -1;
}

bool watch_all(PyObject* dependencies) {
    bool all = watching();
    for (Py_ssize_t i = 0; all && i < PyList_GET_SIZE(dependencies); i++) {
        PyObject* entry = PyList_GET_ITEM(dependencies, i);
        if (PyDict_Check(PyTuple_GET_ITEM(entry, 0)))
            all = watch_dict(PyTuple_GET_ITEM(entry, 0));
    }
    return all;
}

bool unchanged(PyObject* dependencies) {
    if (!dependencies)
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dependencies); i++) {
        PyObject* entry = PyList_GET_ITEM(dependencies, i);
        PyObject* first = PyTuple_GET_ITEM(entry, 0);
        if (PyDict_Check(first)) {
            // told of no event since the copy: the same
            uint64_t events = dict_events(first);
            if (events != kUncounted && events == PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(entry, 3)))
                continue;
            PyObject* copy = PyTuple_GET_ITEM(entry, 1);
            bool same = same_items(first, copy);
            if (!same && !same_or_grown(first, copy, PyTuple_GET_ITEM(entry, 2) == Py_True))
                return false;
            if (same && events == kUncounted)
                continue;
            // the same or grown as allowed: copied again, so that the next
            // look is quick
            Ref updated = dict_entry(first, PyTuple_GET_ITEM(entry, 2) == Py_True, PyTuple_GET_ITEM(entry, 4));
            if (!updated || PyList_SetItem(dependencies, i, updated.release()) < 0)
                PyErr_Clear();
            continue;
        }
        auto or_none = [](PyObject* o) { return o ? o : Py_None; };
        if (PyFunction_GetCode(first) != PyTuple_GET_ITEM(entry, 1) ||
            or_none(PyFunction_GetDefaults(first)) != PyTuple_GET_ITEM(entry, 2) ||
            or_none(PyFunction_GetKwDefaults(first)) != PyTuple_GET_ITEM(entry, 3)) {
            return false;
        }
    }
    return true;
}

bool keeps(PyObject* dependencies, PyObject* approved) {
    if (!approved)
        return true;
    if (find_libraries() < 0) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(approved); i++) {
        PyObject* old = PyList_GET_ITEM(approved, i);
        if (!PyDict_Check(PyTuple_GET_ITEM(old, 0)) || PyTuple_GET_ITEM(old, 2) != Py_True)
            continue;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(dependencies); j++) {
            PyObject* now = PyList_GET_ITEM(dependencies, j);
            if (PyDict_Check(PyTuple_GET_ITEM(now, 0)) && PyTuple_GET_ITEM(now, 0) == PyTuple_GET_ITEM(old, 0) &&
                !keeps_namespace(PyTuple_GET_ITEM(now, 1), PyTuple_GET_ITEM(old, 1), PyTuple_GET_ITEM(now, 4)))
                return false;
        }
    }
    return true;
}

}  // namespace cm
