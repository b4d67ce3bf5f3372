#include "common/guard.h"

#include "common/watchers.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace cm {

namespace {

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
        // reach it: nothing to compare. Found once and gone since, it was
        // deleted, and the library's code that reads it now fails.
        if (s.optional && !seen.found_once)
            put(seen.dict, Ref());
        return s.optional && !seen.found_once;
    }
    seen.found_once = true;

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
    // Its code must come from the module's own file (a reload makes new
    // code there, and the library's own again).
    Ref file(PyObject_GetAttrString(module.get(), "__file__"));
    Ref code_file(PyObject_GetAttrString(seen.code, "co_filename"));
    if (!file || !code_file || !PyUnicode_Check(file.get()) ||
        PyUnicode_Compare(file.get(), code_file.get()) != 0 || !attribute_is(seen.code, "co_name", last_part(qualname)))
        return false;
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
            watched = watch_dict(seen.dict);
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

}  // namespace cm
