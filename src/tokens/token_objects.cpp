// The entries of token_objects.h: found once, compared at each call.
#include "tokens/token_objects.h"

#include <cstring>

namespace cm {
namespace token_guards {

namespace {

using Owner = Objects::Owner;

Owner kind_of(PyObject* owner) {
    if (PyModule_CheckExact(owner) || PyDict_CheckExact(owner))
        return Owner::Dict;
    return PyType_Check(owner) ? Owner::Type : Owner::Instance;
}

// An instance's own attributes, or null (no exception) where it has none.
Ref own_dict(PyObject* obj) {
    Ref dict(PyObject_GenericGetDict(obj, nullptr));
    if (!dict || !PyDict_CheckExact(dict.get())) {
        PyErr_Clear();
        return {};
    }
    return dict;
}

// The step `name` of `owner`, read as the generic path reads it: a new
// reference, or null (no exception) where there is none.
Ref step(PyObject* owner, Owner kind, PyObject* dict, PyObject* name) {
    if (kind == Owner::Type) {
        Ref value(PyObject_GetAttr(owner, name));
        if (!value)
            PyErr_Clear();
        return value;
    }
    Ref own;
    if (kind == Owner::Instance) {
        own = own_dict(owner);
        if (!own)
            return {};
        dict = own.get();
    }
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (!found && PyErr_Occurred())
        PyErr_Clear();
    return Ref::hold(found);
}

bool text_is(PyObject* obj, const char* text) {
    return obj && PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// Whether the str `obj` is one of "a|b|...".
bool text_in(PyObject* obj, const char* texts) {
    if (!obj || !PyUnicode_CheckExact(obj))
        return false;
    for (const char* p = texts; *p;) {
        size_t n = std::strcspn(p, "|");
        Ref name(PyUnicode_FromStringAndSize(p, (Py_ssize_t)n));
        if (!name) {
            PyErr_Clear();
            return false;
        }
        if (PyUnicode_Compare(obj, name.get()) == 0)
            return true;
        p += n + (p[n] == '|');
    }
    return false;
}

bool attribute_is(PyObject* obj, const char* attribute, const char* text) {
    Ref value(PyObject_GetAttrString(obj, attribute));
    if (!value)
        PyErr_Clear();
    return text_is(value.get(), text);
}

// The own attribute names of `obj`, in order, when each is one of `own`.
Ref own_keys(PyObject* obj, const char* own) {
    Ref dict = own_dict(obj);
    Ref keys(dict ? PyTuple_New(PyDict_Size(dict.get())) : nullptr);
    if (!keys)
        return {};
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &pos, &key, &value)) {
        if (!text_in(key, own))
            return {};
        PyTuple_SET_ITEM(keys.get(), i++, Ref::hold(key).release());
    }
    return keys;
}

// The same own attribute names, in the same order: nothing set in place of
// the class's methods since.
bool same_keys(PyObject* obj, PyObject* keys) {
    Ref dict = own_dict(obj);
    if (!dict || PyDict_Size(dict.get()) != PyTuple_GET_SIZE(keys))
        return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &pos, &key, &value))
        if (key != PyTuple_GET_ITEM(keys, i++))
            return false;
    return true;
}

// `obj.name is expected`, for objects of the interpreter's own types,
// whose attributes run nothing of anyone's.
bool member_is(PyObject* obj, const char* name, PyObject* expected) {
    Ref value(PyObject_GetAttrString(obj, name));
    if (!value)
        PyErr_Clear();
    return value.get() == expected;
}

}  // namespace

int Objects::index_of(const char* path) const {
    for (int i = 0; i < count_; i++)
        if (std::strcmp(entries_[i].path, path) == 0)
            return i;
    return -1;
}

// JSONDecoder() as json makes its module's default, the one json.loads
// uses: no hooks, the builtin number types, strict, and the compiled
// scanner, which copied those when it was made and reads nothing else.
bool Objects::made_by_json(PyObject* decoder) const {
    Ref dict = own_dict(decoder);
    if (!dict)
        return false;
    auto item = [&](const char* name) { return PyDict_GetItemString(dict.get(), name); };
    PyObject* scanner = item("scan_once");
    PyObject *floats = (PyObject*)&PyFloat_Type, *ints = (PyObject*)&PyLong_Type;
    return item("object_hook") == Py_None && item("object_pairs_hook") == Py_None && item("parse_float") == floats &&
           item("parse_int") == ints && item("strict") == Py_True && scanner &&
           index_of(kScannerPath) >= 0 &&
           (PyObject*)Py_TYPE(scanner) == found_[index_of(kScannerPath)].value && member_is(scanner, "object_hook", Py_None) &&
           member_is(scanner, "object_pairs_hook", Py_None) && member_is(scanner, "parse_float", floats) &&
           member_is(scanner, "parse_int", ints) && member_is(scanner, "strict", Py_True);
}

// Whether `value` is what entry `w` must be, on first sight: the library's
// own, not a stand-in put there before.
bool Objects::is_the_librarys(const Watched& w, PyObject* value) const {
    switch (w.must) {
    case Must::Module:
        return PyModule_CheckExact(value) && attribute_is(value, "__name__", w.a);
    case Must::Function: {
        if (!PyFunction_Check(value) || !attribute_is(value, "__qualname__", w.b))
            return false;
        Ref name(PyUnicode_FromString(w.a));
        Ref module(name ? PyImport_GetModule(name.get()) : nullptr);
        PyErr_Clear();
        return module && PyModule_Check(module.get()) && PyFunction_GetGlobals(value) == PyModule_GetDict(module.get());
    }
    case Must::Object:
        return attribute_is(value, "__module__", w.a) && attribute_is(value, "__qualname__", w.b);
    case Must::Builtin: {
        if (!Py_IS_TYPE(value, &PyCFunction_Type))
            return false;
        PyObject* module = PyCFunction_GetSelf(value);
        Ref module_name(module && PyModule_CheckExact(module) ? PyObject_GetAttrString(module, "__name__") : nullptr);
        Ref name(PyObject_GetAttrString(value, "__name__"));
        PyErr_Clear();
        return text_in(module_name.get(), w.a) && text_in(name.get(), w.b);
    }
    case Must::Instance:
    case Must::Decoder: {
        PyObject* type = (PyObject*)Py_TYPE(value);
        return attribute_is(type, "__module__", w.a) && attribute_is(type, "__qualname__", w.b) &&
               (w.must != Must::Decoder || made_by_json(value));
    }
    case Must::Of: {
        int other = index_of(w.a);
        return other >= 0 && (PyObject*)Py_TYPE(value) == found_[other].value;
    }
    case Must::BoundTo: {
        int self = index_of(w.a), function = index_of(w.b);
        return PyMethod_Check(value) && self >= 0 && function >= 0 && found_[self].value == PyMethod_Self(value) &&
               found_[function].value == PyMethod_Function(value);
    }
    case Must::SameAs: {
        int other = index_of(w.a);
        return other >= 0 && found_[other].value == value;
    }
    case Must::Value:
        return true;
    case Must::True:
        return value == Py_True;
    case Must::False:
        return value == Py_False;
    case Must::EmptyList:
        return PyList_CheckExact(value) && PyList_GET_SIZE(value) == 0;
    case Must::Text:
        return text_is(value, w.a);
    case Must::Version:
        return text_in(value, w.a);
    }
    return false;
}

void Objects::forget() {
    for (Found& f : found_) {
        Ref value(f.value), name(f.name), code(f.code), defaults(f.defaults), kwdefaults(f.kwdefaults), keys(f.keys);
        f = Found();
    }
}

// Finds every entry; false (nothing kept) where one is missing or is not the
// library's own.
bool Objects::record() {
    PyObject* modules = PyImport_GetModuleDict();
    for (int i = 0; i < count_; i++) {
        const Watched& w = entries_[i];
        Found& f = found_[i];
        const char* colon = std::strchr(w.path, ':');
        Ref value;
        if (!colon) {
            value = Ref::hold(PyDict_GetItemString(modules, w.path));
        } else {
            const char* last = std::strrchr(w.path, '.');
            size_t cut = (size_t)((last && last > colon ? last : colon) - w.path);
            char prefix[128];
            if (cut >= sizeof prefix)
                return false;
            std::memcpy(prefix, w.path, cut);
            prefix[cut] = 0;
            int owner = index_of(prefix);
            if (owner < 0 || owner >= i || !found_[owner].value)
                return false;
            f.owner = found_[owner].value;
            f.kind = kind_of(f.owner);
            f.dict = PyModule_CheckExact(f.owner) ? PyModule_GetDict(f.owner) : f.owner;
            f.name = PyUnicode_InternFromString(w.path + cut + 1);
            if (!f.name)
                return false;
            value = step(f.owner, f.kind, f.dict, f.name);
        }
        if (!value) {
            if (w.optional)
                continue;
            return false;
        }
        if (!is_the_librarys(w, value.get()))
            return false;
        if (w.must == Must::Function) {
            f.code = Ref::hold(PyFunction_GetCode(value.get())).release();
            f.defaults = Ref::hold(PyFunction_GetDefaults(value.get())).release();
            f.kwdefaults = Ref::hold(PyFunction_GetKwDefaults(value.get())).release();
        } else if (w.must == Must::Instance || w.must == Must::Decoder) {
            f.keys = own_keys(value.get(), w.own).release();
            if (!f.keys)
                return false;
        }
        f.value = value.release();
    }
    return true;
}

// Every entry of `use` is as it was found.
bool Objects::unchanged(unsigned char use) const {
    for (int i = 0; i < count_; i++) {
        const Watched& w = entries_[i];
        const Found& f = found_[i];
        if (!(w.use & use) || !f.owner)
            continue;
        Ref now = step(f.owner, f.kind, f.dict, f.name);
        if (now.get() != f.value)
            return false;
        if (!f.value)
            continue;
        if (w.must == Must::Function) {
            if (PyFunction_GetCode(f.value) != f.code || PyFunction_GetDefaults(f.value) != f.defaults ||
                PyFunction_GetKwDefaults(f.value) != f.kwdefaults)
                return false;
        } else if (f.keys) {
            if (!same_keys(f.value, f.keys))
                return false;
        } else if (w.must == Must::EmptyList) {
            if (PyList_GET_SIZE(f.value) != 0)
                return false;
        }
    }
    return true;
}


bool Objects::recorded() {
    if (recorded_ <= 0) {
        // A stand-in, or a release not compared, keeps the paths off; the
        // search is made again now and then, the library's own may be back.
        if (recorded_ < 0 && ++retry_ % 1024 != 0)
            return false;
        forget();
        recorded_ = record() ? 1 : -1;
        PyErr_Clear();
    }
    return recorded_ > 0;
}

bool Objects::hold(unsigned char use) {
    return recorded() && unchanged(use);
}

bool Objects::holds_entry(int i) {
    const Found& f = found_[i];
    if (!recorded() || !f.owner)
        return false;
    Ref now = step(f.owner, f.kind, f.dict, f.name);
    return now.get() == f.value;
}

}  // namespace token_guards
}  // namespace cm
