#include "common/recording.h"

#include "common/watchers.h"

#include <cstring>

namespace cm {

namespace {

// ---- whose files are the libraries' own ------------------------------------

// The packages whose code the libraries run (pycryptodome may load its
// compiled code through cffi, whose built-ins are a top-level module).
const char* const kPackages[] = {"Crypto", "rsa", "pyasn1", "jwt", "cffi", "_cffi_backend"};

// The standard library's directories, and what lies in them that is not the
// library's: the tests, unittest (mock lives there), installed packages.
PyObject* g_stdlib = nullptr;   // tuple of str
PyObject* g_outside = nullptr;  // tuple of str

PyObject* item_of(PyObject* dict, const char* key) {
    PyObject* value = PyDict_GetItemString(dict, key);  // borrowed; str keys run no code
    return value && PyUnicode_CheckExact(value) ? value : nullptr;
}

// "dir" + "/" + "tail"
Ref joined(PyObject* dir, const char* tail) {
    return Ref(PyUnicode_FromFormat("%U/%s", dir, tail));
}

int find_stdlib() {
    if (g_stdlib)
        return 0;
    Ref sysconfig(PyImport_ImportModule("sysconfig"));
    Ref paths(sysconfig ? PyObject_CallMethod(sysconfig.get(), "get_paths", nullptr) : nullptr);
    if (!paths || !PyDict_Check(paths.get()))
        return -1;
    PyObject* stdlib = item_of(paths.get(), "stdlib");
    PyObject* platstdlib = item_of(paths.get(), "platstdlib");
    PyObject* purelib = item_of(paths.get(), "purelib");
    PyObject* platlib = item_of(paths.get(), "platlib");
    if (!stdlib || !platstdlib || !purelib || !platlib) {
        PyErr_SetString(PyExc_RuntimeError, "no standard library directory");
        return -1;
    }
    Ref lib = joined(stdlib, ""), platlib_dir = joined(platstdlib, ""), unittest = joined(stdlib, "unittest/"),
        test = joined(stdlib, "test/"), pure = joined(purelib, ""), plat = joined(platlib, "");
    if (!lib || !platlib_dir || !unittest || !test || !pure || !plat)
        return -1;
    Ref inside(PyTuple_Pack(2, lib.get(), platlib_dir.get()));
    Ref outside(PyTuple_Pack(4, unittest.get(), test.get(), pure.get(), plat.get()));
    if (!inside || !outside)
        return -1;
    g_stdlib = keep(std::move(inside));
    g_outside = keep(std::move(outside));
    return 0;
}

// The directories of the packages imported now: "…/Crypto/", ...; for a
// module that is no package, its one file.
Ref package_dirs() {
    Ref dirs(PyList_New(0));
    PyObject* modules = PyImport_GetModuleDict();
    for (const char* name : kPackages) {
        PyObject* package = dirs ? PyDict_GetItemString(modules, name) : nullptr;
        if (!package || !PyModule_CheckExact(package))
            continue;
        PyObject* ns = PyModule_GetDict(package);
        PyObject* file = item_of(ns, "__file__");
        if (file && !PyDict_GetItemString(ns, "__path__")) {
            if (PyList_Append(dirs.get(), file) < 0)
                return {};
            continue;
        }
        Py_ssize_t slash = file ? PyUnicode_FindChar(file, '/', 0, PyUnicode_GetLength(file), -1) : -1;
        Ref dir(slash >= 0 ? PyUnicode_Substring(file, 0, slash + 1) : nullptr);
        if (slash >= 0 && (!dir || PyList_Append(dirs.get(), dir.get()) < 0))
            return {};
    }
    return dirs;
}

bool starts_with_any(PyObject* text, PyObject* prefixes) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(prefixes); i++) {
        PyObject* prefix = PySequence_Fast_GET_ITEM(prefixes, i);
        if (PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1) == 1)
            return true;
    }
    return false;
}

// The package directories, as of the last recording or comparison (a
// package may be imported after the first).
PyObject* g_packages = nullptr;

int refresh_packages() {
    Ref dirs = package_dirs();
    if (!dirs)
        return -1;
    Ref old(g_packages);
    g_packages = dirs.release();
    return 0;
}

bool own_file(PyObject* file) {
    if (!file || !PyUnicode_CheckExact(file))
        return false;
    if (g_packages && starts_with_any(file, g_packages))
        return true;
    return starts_with_any(file, g_stdlib) && !starts_with_any(file, g_outside);
}

// Modules without a file that are the interpreter's: built in, or frozen.
bool own_fileless(PyObject* name) {
    static const char* const frozen[] = {"importlib._bootstrap", "importlib._bootstrap_external", "zipimport",
                                         "_frozen_importlib", "_frozen_importlib_external"};
    for (const char* f : frozen)
        if (PyUnicode_CompareWithASCIIString(name, f) == 0)
            return true;
    PyObject* builtin_names = PySys_GetObject("builtin_module_names");  // borrowed
    if (!builtin_names || !PyTuple_CheckExact(builtin_names))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(builtin_names); i++) {
        PyObject* item = PyTuple_GET_ITEM(builtin_names, i);
        if (PyUnicode_CheckExact(item) && PyUnicode_Compare(item, name) == 0)
            return true;
    }
    PyErr_Clear();
    return false;
}

// The name sys.modules holds the module of namespace `ns` under: its
// __name__, or where a module renames itself (_collections_abc calls itself
// "collections.abc", a name another module has), its spec's name.
Ref registered_name(PyObject* ns) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* name = item_of(ns, "__name__");
    PyObject* m = name ? PyDict_GetItemWithError(modules, name) : nullptr;
    if (m && PyModule_Check(m) && PyModule_GetDict(m) == ns)
        return Ref::hold(name);
    PyErr_Clear();
    PyObject* spec = PyDict_GetItemString(ns, "__spec__");
    Ref spec_name(spec && spec != Py_None ? PyObject_GetAttrString(spec, "name") : nullptr);
    if (!spec_name || !PyUnicode_CheckExact(spec_name.get())) {
        PyErr_Clear();
        return Ref::hold(name);
    }
    return spec_name;
}

// The module `m` is in sys.modules under its name and is the interpreter's
// or a library's own. Reads dicts only: a module's __getattr__ runs nothing.
bool own_module(PyObject* m) {
    if (!PyModule_CheckExact(m))
        return false;
    PyObject* ns = PyModule_GetDict(m);
    Ref name = registered_name(ns);
    if (!name || PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get()) != m) {
        PyErr_Clear();
        return false;
    }
    PyObject* file = PyDict_GetItemString(ns, "__file__");
    return file ? own_file(file) : own_fileless(name.get());
}

// The module whose namespace `globals` is, when it is the one in sys.modules.
PyObject* module_of_globals(PyObject* globals) {
    Ref name = PyDict_Check(globals) ? registered_name(globals) : Ref();
    PyObject* m = name ? PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get()) : nullptr;
    if (!m || !PyModule_CheckExact(m) || PyModule_GetDict(m) != globals) {
        PyErr_Clear();
        return nullptr;
    }
    return m;
}

// Code of a library's own file, running in the namespace of the module
// that file is (frozen modules name themselves "<frozen name>").
bool own_code(PyObject* code, PyObject* globals) {
    PyObject* m = module_of_globals(globals);
    if (!m || !own_module(m))
        return false;
    Ref filename(PyObject_GetAttrString(code, "co_filename"));
    if (!filename || !PyUnicode_CheckExact(filename.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* file = item_of(PyModule_GetDict(m), "__file__");
    if (file && PyUnicode_Compare(file, filename.get()) == 0)
        return own_file(file);
    Ref name = registered_name(globals);  // there: m was found by it
    Ref frozen(name ? PyUnicode_FromFormat("<frozen %U>", name.get()) : nullptr);
    bool same = frozen && PyUnicode_Compare(frozen.get(), filename.get()) == 0;
    PyErr_Clear();
    return same;
}

bool static_type(PyTypeObject* type) {
    return !(PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE);
}

// A type of the interpreter's (static), or a heap type whose module, by its
// __module__, is one of the libraries' or the interpreter's own.
bool own_type(PyTypeObject* type) {
    if (static_type(type))
        return true;
    Ref ns(PyType_GetDict(type));
    PyObject* module_name = ns ? item_of(ns.get(), "__module__") : nullptr;
    PyObject* m = module_name ? PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name) : nullptr;
    PyErr_Clear();
    return m && own_module(m);
}

// A built-in called: bound to an own module, or to an object of an own
// type (b"".join, a hash object's update).
bool own_builtin(PyObject* callable) {
    if (!PyCFunction_Check(callable))
        return static_type(Py_TYPE(callable));
    PyObject* self = PyCFunction_GetSelf(callable);
    if (!self)
        return true;
    if (PyModule_Check(self))
        return own_module(self);
    return own_type(Py_TYPE(self));
}

// ---- the recorder ------------------------------------------------------------

constexpr size_t kMaxCodes = 1024;

struct Recorder {
    PyObject* codes[kMaxCodes];  // held while recording
    PyObject* globals[kMaxCodes];
    size_t count;
    PyObject* chained;  // the thread's own profile function, called after us
    PyObject* import;   // the code of the import system's _find_and_load
    int importing;      // imports under way: what runs there is the import system's
    bool foreign;       // a built-in not the libraries' own was called
    bool lost;          // something could not be noted
};

Recorder g_recorder;
bool g_recording = false;
PyObject* g_sentinel = nullptr;  // the profile function's object: ours
PyObject* g_event_names[6];      // "call", "exception", "return", "c_call", "c_exception", "c_return"

int make_event_names() {
    static const char* const names[] = {"call", "exception", "return", "c_call", "c_exception", "c_return"};
    for (int i = 0; i < 6; i++)
        if (!g_event_names[i] && !(g_event_names[i] = PyUnicode_InternFromString(names[i])))
            return -1;
    return 0;
}

void note_code(Recorder& r, PyObject* code, PyObject* globals) {
    for (size_t i = r.count; i-- > 0;)
        if (r.codes[i] == code && r.globals[i] == globals)
            return;
    if (r.count == kMaxCodes) {
        r.lost = true;
        return;
    }
    r.codes[r.count] = Ref::hold(code).release();
    r.globals[r.count] = Ref::hold(globals).release();
    r.count++;
}

int on_event(PyObject*, PyFrameObject* frame, int what, PyObject* arg) {
    Recorder& r = g_recorder;
    if (what == PyTrace_CALL || what == PyTrace_C_CALL || (what == PyTrace_RETURN && r.importing)) {
        Ref pending(PyErr_GetRaisedException());
        if (what != PyTrace_C_CALL) {
            // A first import runs the import hooks of whoever installed one
            // (and the new module's body): the import system's work, done
            // once, not the library's call. What it leaves in a namespace
            // the recording holds is seen there.
            Ref code(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
            if (code && code.get() == r.import)
                r.importing += what == PyTrace_CALL ? 1 : -1;
            else if (what == PyTrace_CALL && !r.importing) {
                Ref globals(PyFrame_GetGlobals(frame));
                if (code && globals)
                    note_code(r, code.get(), globals.get());
                else
                    r.lost = true;
            }
        } else if (!r.foreign && !r.importing && !own_builtin(arg)) {
            r.foreign = true;
        }
        PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    if (!r.chained)
        return 0;
    // the user's profile function sees every event, with the argument
    // it would have had
    Ref result(PyObject_CallFunctionObjArgs(r.chained, reinterpret_cast<PyObject*>(frame),
                                            what == PyTrace_CALL          ? g_event_names[0]
                                            : what == PyTrace_EXCEPTION   ? g_event_names[1]
                                            : what == PyTrace_RETURN      ? g_event_names[2]
                                            : what == PyTrace_C_CALL      ? g_event_names[3]
                                            : what == PyTrace_C_EXCEPTION ? g_event_names[4]
                                                                          : g_event_names[5],
                                            arg ? arg : Py_None, nullptr));
    if (result)
        return 0;
    // As the interpreter does when a profile function fails: it is unset,
    // and its exception is the call's.
    Ref(std::exchange(r.chained, nullptr));
    r.lost = true;
    return -1;
}

void forget(Recorder& r) {
    for (size_t i = 0; i < r.count; i++) {
        Ref code(r.codes[i]), globals(r.globals[i]);
    }
    r.count = 0;
}

// The code of importlib._bootstrap._find_and_load, through which every
// import that is not done yet runs; null if not found.
PyObject* import_code() {
    PyObject* bootstrap = PyDict_GetItemString(PyImport_GetModuleDict(), "_frozen_importlib");
    PyObject* find = bootstrap && PyModule_CheckExact(bootstrap)
                         ? PyDict_GetItemString(PyModule_GetDict(bootstrap), "_find_and_load")
                         : nullptr;
    return find && PyFunction_Check(find) ? Ref::hold(PyFunction_GetCode(find)).release() : nullptr;
}

// sys.<name>(*args), where sys has its own.
Ref call_sys(const char* name, PyObject* arg = nullptr) {
    PyObject* function = PySys_GetObject(name);  // borrowed
    if (!function || !PyCFunction_Check(function)) {
        PyErr_Format(PyExc_RuntimeError, "sys.%s is not the interpreter's", name);
        return {};
    }
    return Ref(arg ? PyObject_CallFunctionObjArgs(function, arg, nullptr) : PyObject_CallObject(function, nullptr));
}

// The thread's profile function's object (sys.getprofile()).
Ref current_profile() {
    return call_sys("getprofile");
}

// Keys that no code of the libraries reads, written meanwhile by others: a
// module's __warningregistry__ (the warnings machinery's note of what it
// has shown from there), and the builtins' `_` (the last value the
// interactive interpreter or doctest displayed).
PyObject* g_builtins = nullptr;  // the builtins' namespace of the recordings

bool ignored(PyObject* dict, PyObject* key) {
    if (!PyUnicode_CheckExact(key))
        return false;
    if (dict == g_builtins)
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '_';
    return PyUnicode_GET_LENGTH(key) == 19 && PyUnicode_CompareWithASCIIString(key, "__warningregistry__") == 0;
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

// ---- dependencies ------------------------------------------------------------
// A list of entries: (dict, copy, first) for a namespace, `first` True for
// one that recorded code runs in (its globals, its class, the builtins);
// (function, code, defaults, kwdefaults) for a function that ran.

class Collector {
public:
    Collector(PyObject* list, PyObject* seen) : list_(list), seen_(seen) {}

    // Adds `dict` once; -1 on failure.
    int add(PyObject* dict, bool first) {
        Ref id(PyLong_FromVoidPtr(dict));
        if (!id)
            return -1;
        int known = PyDict_Contains(seen_, id.get());
        if (known != 0)
            return known;  // -1, or already there
        Ref copy = copy_of(dict);
        Ref entry(copy ? PyTuple_Pack(3, dict, copy.get(), first ? Py_True : Py_False) : nullptr);
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
    PyObject* name = item_of(PyModule_GetDict(m), "__name__");
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

// The record of a run: its verdict from what it noted, and its namespaces.
// -1 on failure.
int examine(Recorder& r, const Call& c, Ref& dependencies, bool& own) {
    Ref list(PyList_New(0)), seen(PyDict_New());
    if (!list || !seen)
        return -1;
    Collector out(list.get(), seen.get());
    own = !r.foreign && !r.lost;
    if (!g_builtins)
        g_builtins = Ref::hold(c.ns.builtins.get()).release();  // one interpreter, one builtins
    int rc = out.add(c.ns.builtins.get(), true);
    // the namespaces the library's code ran in, their classes and functions
    // (a stand-in's own namespace is not: what put it there is)
    bool own_codes[kMaxCodes];
    for (size_t i = 0; rc == 0 && i < r.count; i++) {
        own_codes[i] = own_code(r.codes[i], r.globals[i]);
        own = own && own_codes[i];
        if (own_codes[i])
            rc = out.add(r.globals[i], true) < 0 || add_owners(out, r.codes[i], r.globals[i]) < 0 ? -1 : 0;
    }
    // and what those modules hold
    for (size_t i = 0; rc == 0 && i < r.count; i++)
        if (own_codes[i])
            rc = add_held(out, r.globals[i]);
    if (rc < 0)
        return -1;
    dependencies = std::move(list);
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

int watch_all(PyObject* dependencies) {
    bool all = watching();
    for (Py_ssize_t i = 0; all && i < PyList_GET_SIZE(dependencies); i++) {
        PyObject* entry = PyList_GET_ITEM(dependencies, i);
        if (PyTuple_GET_SIZE(entry) == 3)
            all = watch_dict(PyTuple_GET_ITEM(entry, 0));
    }
    return all;
}

// ---- what looks like the library's own --------------------------------------

bool own_looking(PyObject* v, int depth = 0) {
    if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
        PyUnicode_CheckExact(v) || PyBytes_CheckExact(v))
        return true;
    if (PyTuple_CheckExact(v) || PyFrozenSet_CheckExact(v)) {
        Ref items(PySequence_Tuple(v));
        if (!items || depth > 4) {
            PyErr_Clear();
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); i++)
            if (!own_looking(PyTuple_GET_ITEM(items.get(), i), depth + 1))
                return false;
        return true;
    }
    if (PyModule_Check(v))
        return own_module(v);
    if (PyFunction_Check(v))
        return own_code(PyFunction_GetCode(v), PyFunction_GetGlobals(v));
    if (PyCFunction_Check(v))
        return own_builtin(v);
    if (PyType_Check(v))
        return own_type(reinterpret_cast<PyTypeObject*>(v));
    if (Py_IS_TYPE(v, &PyStaticMethod_Type) || Py_IS_TYPE(v, &PyClassMethod_Type)) {
        Ref inner(PyObject_GetAttrString(v, "__func__"));
        PyErr_Clear();
        return inner && own_looking(inner.get(), depth + 1);
    }
    return own_type(Py_TYPE(v));
}

// Whether the str-keyed `copy` has every key of `before`, and what differs
// looks like the library's own.
bool keeps_namespace(PyObject* copy, PyObject* before) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;  // a key whose look-up would run someone's __eq__
    pos = 0;
    while (PyDict_Next(before, &pos, &key, &value)) {
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

int Dependencies::add(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) {
        PyErr_SetString(PyExc_TypeError, "a dependency is a dict");
        return -1;
    }
    Ref copy = copy_of(dict);
    Ref entry(copy ? PyTuple_Pack(3, dict, copy.get(), Py_False) : nullptr);
    return entry ? PyList_Append(list_, entry.get()) : -1;
}

Ref record_generic(Body generic, Call& c, Args a, ExtraDependencies extra, int branch, Record& out) {
    out = Record();
    if (g_recording)
        return generic(c, a);  // one recording at a time (another thread's, or re-entry)
    if (!g_sentinel)
        g_sentinel = PyCapsule_New(&g_recorder, "crypt_main.recorder", nullptr);
    // A profile function of the user's that sys.setprofile set is called
    // from ours; one of C's (cProfile before 3.12) cannot be: not now.
    Ref before = current_profile();
    bool chained = before && before.get() != Py_None && PyCallable_Check(before.get());
    if (!g_sentinel || !before || (before.get() != Py_None && !chained) || find_stdlib() < 0 ||
        refresh_packages() < 0 || make_event_names() < 0) {
        PyErr_Clear();
        return generic(c, a);
    }
    Recorder& r = g_recorder;
    r.count = 0;
    r.foreign = r.lost = false;
    r.chained = chained ? Ref::hold(before.get()).release() : nullptr;
    r.importing = 0;
    r.import = import_code();
    g_recording = true;
    PyEval_SetProfile(on_event, g_sentinel);
    Ref still = current_profile();
    if (still.get() != g_sentinel)
        r.lost = true;  // refused (an audit hook): not recorded
    PyErr_Clear();
    // No collection meanwhile: its callbacks and finalizers are nobody's
    // calls of the library (when the collector runs is no part of a result).
    int collecting = PyGC_Disable();
    Ref result = generic(c, a);
    // From here on the call's own result or exception is kept aside.
    Ref raised(PyErr_GetRaisedException());
    if (collecting)
        PyGC_Enable();
    Ref after = current_profile();
    if (after.get() == g_sentinel) {
        // the user's profile function back, unless it failed meanwhile
        Ref user(std::exchange(r.chained, nullptr));
        if (user)
            Ref(call_sys("setprofile", user.get()));
        else
            PyEval_SetProfile(nullptr, nullptr);
    } else {
        r.lost = true;  // someone set another profile function meanwhile: theirs stays
    }
    Ref(std::exchange(r.chained, nullptr));
    Ref(std::exchange(r.import, nullptr));
    PyErr_Clear();
    g_recording = false;

    bool own = false;
    Ref dependencies;
    if (examine(r, c, dependencies, own) == 0) {
        out.dependencies = std::move(dependencies);
        out.verdict = own ? Verdict::Own : Verdict::Foreign;
        if (own && !raised && extra) {
            Dependencies d(out.dependencies.get());
            int rc = extra(branch, d);
            out.verdict = rc > 0 ? Verdict::Own : rc == 0 ? Verdict::Foreign : Verdict::Unrecorded;
        }
        if (!watch_all(out.dependencies.get()) && watching())
            out.verdict = Verdict::Unrecorded;
    }
    forget(r);
    PyErr_Clear();
    if (raised)
        PyErr_SetRaisedException(raised.release());
    return result;
}

bool unchanged(PyObject* dependencies) {
    if (!dependencies)
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dependencies); i++) {
        PyObject* entry = PyList_GET_ITEM(dependencies, i);
        PyObject* first = PyTuple_GET_ITEM(entry, 0);
        if (PyTuple_GET_SIZE(entry) == 3) {
            if (!same_items(first, PyTuple_GET_ITEM(entry, 1))) {
                return false;
            }
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
    if (refresh_packages() < 0) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(approved); i++) {
        PyObject* old = PyList_GET_ITEM(approved, i);
        if (PyTuple_GET_SIZE(old) != 3 || PyTuple_GET_ITEM(old, 2) != Py_True)
            continue;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(dependencies); j++) {
            PyObject* now = PyList_GET_ITEM(dependencies, j);
            if (PyTuple_GET_SIZE(now) == 3 && PyTuple_GET_ITEM(now, 0) == PyTuple_GET_ITEM(old, 0) &&
                !keeps_namespace(PyTuple_GET_ITEM(now, 1), PyTuple_GET_ITEM(old, 1)))
                return false;
        }
    }
    return true;
}

}  // namespace cm
