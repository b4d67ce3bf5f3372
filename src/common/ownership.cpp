#include "common/ownership.h"

namespace cm {

namespace {

// The packages whose code the libraries run (pycryptodome may load its
// compiled code through cffi, whose built-ins are a top-level module).
const char* const kPackages[] = {"Crypto", "rsa", "pyasn1", "jwt", "cffi", "_cffi_backend"};

// The standard library's directories, and what lies in them that is not the
// library's: the tests, unittest (mock lives there), installed packages.
PyObject* g_stdlib = nullptr;   // tuple of str
PyObject* g_outside = nullptr;  // tuple of str

}  // namespace

PyObject* text_item(PyObject* dict, const char* key) {
    PyObject* value = PyDict_GetItemString(dict, key);  // borrowed; str keys run no code
    return value && PyUnicode_CheckExact(value) ? value : nullptr;
}

namespace {

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
    PyObject* stdlib = text_item(paths.get(), "stdlib");
    PyObject* platstdlib = text_item(paths.get(), "platstdlib");
    PyObject* purelib = text_item(paths.get(), "purelib");
    PyObject* platlib = text_item(paths.get(), "platlib");
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
        PyObject* file = text_item(ns, "__file__");
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

}  // namespace

int find_libraries() {
    return find_stdlib() < 0 || refresh_packages() < 0 ? -1 : 0;
}

// The name sys.modules holds the module of namespace `ns` under: its
// __name__, or where a module renames itself (_collections_abc calls itself
// "collections.abc", a name another module has), its spec's name.
static Ref registered_name(PyObject* ns) {
    PyObject* name = text_item(ns, "__name__");
    PyObject* m = name ? PyDict_GetItemWithError(PyImport_GetModuleDict(), name) : nullptr;
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
static PyObject* module_of_globals(PyObject* globals) {
    Ref name = PyDict_Check(globals) ? registered_name(globals) : Ref();
    PyObject* m = name ? PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get()) : nullptr;
    if (!m || !PyModule_CheckExact(m) || PyModule_GetDict(m) != globals) {
        PyErr_Clear();
        return nullptr;
    }
    return m;
}

bool own_code(PyObject* code, PyObject* globals) {
    PyObject* m = module_of_globals(globals);
    if (!m || !own_module(m))
        return false;
    Ref filename(PyObject_GetAttrString(code, "co_filename"));
    if (!filename || !PyUnicode_CheckExact(filename.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* file = text_item(PyModule_GetDict(m), "__file__");
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
    PyObject* module_name = ns ? text_item(ns.get(), "__module__") : nullptr;
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

namespace {

bool looks_own(PyObject* v, int depth) {
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
            if (!looks_own(PyTuple_GET_ITEM(items.get(), i), depth + 1))
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
        return inner && looks_own(inner.get(), depth + 1);
    }
    return own_type(Py_TYPE(v));
}

}  // namespace

bool own_looking(PyObject* value) {
    return looks_own(value, 0);
}

}  // namespace cm
