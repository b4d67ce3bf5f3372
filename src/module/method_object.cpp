// The function objects of TarvikCryptMain's methods: called through
// vectorcall, bound to instances like Python functions, introspectable like
// them (name, qualified name, doc, code, defaults, globals) and weakly
// referenceable. Each holds the namespaces it reads its globals from, as a
// Python function holds its __globals__.
#include "module/binding.h"
#include "module/method.h"

#include "common/call.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

namespace cm {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    MethodState* method;
    Ref globals;
    Ref builtins;
    PyObject* weakrefs;  // the interpreter's list; null while there are none
};

MethodObject& as_method(PyObject* self) { return *reinterpret_cast<MethodObject*>(self); }
MethodState& method_of(PyObject* self) { return *as_method(self).method; }

PyObject* invoke(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject& self = as_method(callable);
    MethodState& m = *self.method;
    Namespaces ns{self.globals.borrowed(), self.builtins.borrowed()};
    PyObject* bound[kMaxParams];
    Args a = bound;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == m.nparams && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        a = args;  // every parameter given by position: already bound
    } else if (bind_arguments(m, args, nargs, kwnames, bound) < 0) {
        m.site.add(ns.globals, m.row->line);
        return nullptr;
    }
    Call c{ns, m.row->line, m.row->line + 1};
    Ref result = m.row->fast ? run_specialised(m.specialisation, *m.row->fast, m.row->body, c, a) : m.row->body(c, a);
    if (!result)
        m.site.add(ns.globals, c.line);
    return result.release();
}

// ---- __code__: the code of a stub `def` with the method's parameters and
// locals, placed at the method's line inside `class TarvikCryptMain`.

// The first code object among the constants of `code`.
Ref inner_code(const Ref& code) {
    Ref consts = attr(code, names::co_consts);
    if (!consts)
        return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); i++) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item))
            return Ref::hold(item);
    }
    PyErr_SetString(PyExc_SystemError, "stub code object not found");
    return {};
}

Ref compile_stub(const MethodState& m) {
    Ref names(PyTuple_New(m.nparams));
    if (!names)
        return {};
    for (int i = 0; i < m.nparams; i++)
        PyTuple_SET_ITEM(names.get(), i, Ref::hold(m.param_names[i]).release());
    Ref separator(PyUnicode_FromString(", "));
    Ref params(separator ? PyUnicode_Join(separator.get(), names.get()) : nullptr);
    // the locals assigned in one statement: "cryptor = result = None"
    char chain[128] = "";
    for (int i = 0; i < m.row->locals.count; i++) {
        size_t used = std::strlen(chain);
        std::snprintf(chain + used, sizeof chain - used, "%s = ", m.row->locals.items[i]);
    }
    if (!params)
        return {};
    // the class line sits just above the def, which is at the method's line
    int blank_lines = m.row->line - 2;
    Ref padding(PyUnicode_New(blank_lines, 127));
    if (!padding)
        return {};
    std::memset(PyUnicode_1BYTE_DATA(padding.get()), '\n', (size_t)blank_lines);
    Ref stub(m.row->locals.count ? PyUnicode_FromFormat("class TarvikCryptMain:\n def %s(%U):\n  %sNone\n",
                                                        m.row->name, params.get(), chain)
                            : PyUnicode_FromFormat("class TarvikCryptMain:\n def %s(%U):\n  pass\n",
                                                   m.row->name, params.get()));
    Ref source(stub ? PyUnicode_Concat(padding.get(), stub.get()) : nullptr);
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    if (!text)
        return {};
    Ref module_code(Py_CompileString(text, "crypt_main.py", Py_file_input));
    if (!module_code)
        return {};
    Ref class_code = inner_code(module_code);
    return class_code ? inner_code(class_code) : Ref();
}

// ---- attributes

PyObject* get_name(PyObject* self, void*) { return Ref::hold(method_of(self).name).release(); }
PyObject* get_qualname(PyObject* self, void*) { return Ref::hold(method_of(self).qualname).release(); }
PyObject* get_module(PyObject*, void*) { return Ref::hold(names::crypt_main.get()).release(); }
PyObject* get_doc(PyObject* self, void*) { return Ref::hold(method_of(self).doc).release(); }
PyObject* get_none(PyObject*, void*) { return Ref::hold(Py_None).release(); }
PyObject* get_annotations(PyObject*, void*) { return PyDict_New(); }
PyObject* get_globals(PyObject* self, void*) { return Ref::hold(as_method(self).globals.borrowed()).release(); }

PyObject* get_code(PyObject* self, void*) {
    MethodState& m = method_of(self);
    if (!m.code) {
        Ref code = compile_stub(m);
        if (!code)
            return nullptr;
        m.code = keep(std::move(code));
    }
    return Ref::hold(m.code).release();
}

PyObject* get_defaults(PyObject* self, void*) {
    MethodState& m = method_of(self);
    int n = m.nparams - m.nrequired;
    if (n == 0)
        return Ref::hold(Py_None).release();
    Ref defaults(PyTuple_New(n));
    if (!defaults)
        return nullptr;
    for (int i = 0; i < n; i++)
        PyTuple_SET_ITEM(defaults.get(), i, Ref::hold(m.defaults[m.nrequired + i]).release());
    return defaults.release();
}

// The state of the specialised path, one word per branch ("unverified",
// "enabled", "stale", "declining", "disabled", "off"), or None for a method
// without one.
PyObject* get_specialised(PyObject* self, void*) {
    MethodState& m = method_of(self);
    if (!m.row->fast)
        return Ref::hold(Py_None).release();
    const SpecialisedPath& p = *m.row->fast;
    Ref words(PyTuple_New(p.branches));
    if (!words)
        return nullptr;
    for (int b = 0; b < p.branches; b++) {
        PyObject* word = PyUnicode_FromString(specialisation_word(m.specialisation, p, b));
        if (!word)
            return nullptr;
        PyTuple_SET_ITEM(words.get(), b, word);
    }
    return words.release();
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__specialised__", get_specialised, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as the interpreter pickles functions.
PyObject* reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", method_of(self).qualname, self); }

// An instance method binds like a Python function: through an instance it
// becomes a bound method, through the class it is itself.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None)
        return Ref::hold(self).release();
    return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_method(self).globals.get());
    Py_VISIT(as_method(self).builtins.get());
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    MethodObject& m = as_method(self);
    if (m.weakrefs)
        PyObject_ClearWeakRefs(self);
    m.globals.~Ref();
    m.builtins.~Ref();
    PyObject_GC_Del(self);
}

PyTypeObject MethodType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int ready_type() {
    if (MethodType.tp_flags & Py_TPFLAGS_READY)
        return 0;
    MethodType.tp_name = "crypt_main.method";
    MethodType.tp_basicsize = sizeof(MethodObject);
    MethodType.tp_dealloc = dealloc;
    MethodType.tp_repr = repr;
    MethodType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    MethodType.tp_traverse = traverse;
    MethodType.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
    MethodType.tp_getset = getset;
    MethodType.tp_methods = methods;
    MethodType.tp_descr_get = descr_get;
    backports::VectorcallType<invoke>::install(MethodType, offsetof(MethodObject, vectorcall));
    return PyType_Ready(&MethodType);
}

// The names and defaults of the row's parameters; the signature text.
int read_params(MethodState& m, char* signature, size_t size) {
    const Params& params = m.row->params;
    m.nparams = params.count;
    m.nrequired = 0;
    signature[0] = 0;
    for (int i = 0; i < params.count; i++) {
        const Param& p = params.items[i];
        if (!m.param_names[i]) {  // kept for the process, and from a failed attempt
            m.param_names[i] = PyUnicode_InternFromString(p.name);
            if (!m.param_names[i])
                return -1;
        }
        m.defaults[i] = p.fallback == Default::None ? Py_None : p.fallback == Default::False ? Py_False : nullptr;
        if (p.fallback == Default::Required)
            m.nrequired = i + 1;
        static const char* const shown[] = {"", "=None", "=False"};
        size_t used = std::strlen(signature);
        std::snprintf(signature + used, size - used, "%s%s%s", i ? ", " : "", p.name, shown[(int)p.fallback]);
    }
    for (int i = 0; i < m.nrequired; i++) {
        if (!m.defaults[i])
            continue;
        PyErr_Format(PyExc_SystemError, "%s: a required parameter follows one with a default", m.row->name);
        return -1;
    }
    return 0;
}

int prepare(MethodState& m, const MethodRow& row) {
    m.row = &row;
    char signature[128];
    if (ready_type() < 0 || read_params(m, signature, sizeof signature) < 0)
        return -1;
    char function[96];
    std::snprintf(function, sizeof function, "crypt_main.TarvikCryptMain.%s", row.name);
    m.site.init(function);
    Ref name(PyUnicode_InternFromString(row.name));
    Ref qualname(PyUnicode_FromFormat("TarvikCryptMain.%s", row.name));
    Ref doc(PyUnicode_FromFormat("TarvikCryptMain.%s(%s)", row.name, signature));
    if (!name || !qualname || !doc)
        return -1;
    m.name = keep(std::move(name));
    m.qualname = keep(std::move(qualname));
    m.doc = keep(std::move(doc));
    return 0;
}

MethodState g_states[kMethodCount];

}  // namespace

MethodState* method_state(int i) {
    MethodState& m = g_states[i];
    if (!m.doc && prepare(m, kMethodTable[i]) < 0)
        return nullptr;
    return &m;
}

bool is_module_method(PyObject* function, Body body) {
    return Py_IS_TYPE(function, &MethodType) && method_of(function).row->body == body;
}

Ref make_method(MethodState& m, Namespaces ns) {
    MethodObject* obj = PyObject_GC_New(MethodObject, &MethodType);
    if (!obj)
        return {};
    obj->vectorcall = invoke;
    obj->method = &m;
    new (&obj->globals) Ref(Ref::hold(ns.globals));
    new (&obj->builtins) Ref(Ref::hold(ns.builtins));
    obj->weakrefs = nullptr;
    PyObject_GC_Track(obj);
    return Ref(reinterpret_cast<PyObject*>(obj));
}

}  // namespace cm
