// The function objects of TarvikCryptMain's methods: called through
// vectorcall, bound to instances like Python functions, and introspectable
// like them (name, qualified name, doc, code, defaults).
#include "module/binding.h"
#include "module/method.h"

#include "common/call.h"
#include "common/globals.h"
#include "common/names.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace cm {

namespace {

const Name kModuleName("crypt_main");
const Name kCoConsts("co_consts");

struct MethodObject {
    PyObject_HEAD
    compat::vectorcallfunc vectorcall;
    Method* method;
};

Method& method_of(PyObject* self) { return *reinterpret_cast<MethodObject*>(self)->method; }

PyObject* invoke(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Method& m = method_of(callable);
    PyObject* bound[kMaxParams];
    Args a = bound;
    Py_ssize_t nargs = compat::nargs(nargsf);
    if (nargs == m.nparams && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        a = args;  // every parameter given by position: already bound
    } else if (bind_arguments(m, args, nargs, kwnames, bound) < 0) {
        m.site.add(m.line);
        return nullptr;
    }
    Frame frame{m.line + 1};
    Ref result = m.body(frame, a);
    if (!result)
        m.site.add(frame.line);
    return result.release();
}

// ---- __code__: the code of a stub `def` with the method's parameters and
// locals, placed at the method's line inside `class TarvikCryptMain`.

// The first code object among the constants of `code`.
PyObject* inner_code(PyObject* code) {
    Ref consts = attr(code, kCoConsts);
    if (!consts)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); i++) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item))
            return Ref::borrow(item).release();
    }
    PyErr_SetString(PyExc_SystemError, "stub code object not found");
    return nullptr;
}

PyObject* compile_stub(const Method& m) {
    Ref names(PyTuple_New(m.nparams));
    if (!names)
        return nullptr;
    for (int i = 0; i < m.nparams; i++)
        PyTuple_SET_ITEM(names.get(), i, Ref::borrow(m.param_names[i]).release());
    Ref separator(PyUnicode_FromString(", "));
    Ref params(separator ? PyUnicode_Join(separator.get(), names.get()) : nullptr);
    Ref locals(PyUnicode_FromString(m.locals));
    Ref assign(PyUnicode_FromString(" = "));
    Ref chained(locals && assign && separator ? PyUnicode_Replace(locals.get(), separator.get(), assign.get(), -1) : nullptr);
    if (!params || !chained)
        return nullptr;
    // the class line sits just above the def, which is at the method's line
    Ref padding(PyUnicode_New(m.line - 2, 127));
    if (!padding)
        return nullptr;
    std::memset(PyUnicode_1BYTE_DATA(padding.get()), '\n', (size_t)(m.line - 2));
    Ref stub(*m.locals ? PyUnicode_FromFormat("class TarvikCryptMain:\n def %s(%U):\n  %U = None\n", m.name,
                                              params.get(), chained.get())
                       : PyUnicode_FromFormat("class TarvikCryptMain:\n def %s(%U):\n  pass\n", m.name,
                                              params.get()));
    Ref source(stub ? PyUnicode_Concat(padding.get(), stub.get()) : nullptr);
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    if (!text)
        return nullptr;
    Ref module_code(Py_CompileString(text, "crypt_main.py", Py_file_input));
    if (!module_code)
        return nullptr;
    Ref class_code(inner_code(module_code.get()));
    return class_code ? inner_code(class_code.get()) : nullptr;
}

// ---- attributes

PyObject* get_name(PyObject* self, void*) { return Ref::borrow(method_of(self).name_obj).release(); }
PyObject* get_qualname(PyObject* self, void*) { return Ref::borrow(method_of(self).qualname).release(); }
PyObject* get_module(PyObject*, void*) { return Ref::borrow(kModuleName.get()).release(); }
PyObject* get_doc(PyObject* self, void*) { return Ref::borrow(method_of(self).doc).release(); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject*, void*) { return PyDict_New(); }
PyObject* get_globals(PyObject*, void*) { return Ref::borrow(g_namespaces.module_dict).release(); }

PyObject* get_code(PyObject* self, void*) {
    Method& m = method_of(self);
    if (!m.code)
        m.code = compile_stub(m);
    return Ref::borrow(m.code).release();
}

PyObject* get_defaults(PyObject* self, void*) {
    Method& m = method_of(self);
    int n = m.nparams - m.nrequired;
    if (n == 0)
        Py_RETURN_NONE;
    Ref defaults(PyTuple_New(n));
    if (!defaults)
        return nullptr;
    for (int i = 0; i < n; i++)
        PyTuple_SET_ITEM(defaults.get(), i, Ref::borrow(m.defaults[m.nrequired + i]).release());
    return defaults.release();
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
        return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

void dealloc(PyObject* self) { PyObject_Free(self); }

PyTypeObject MethodType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int ready_type() {
    if (MethodType.tp_flags & Py_TPFLAGS_READY)
        return 0;
    MethodType.tp_name = "crypt_main.method";
    MethodType.tp_basicsize = sizeof(MethodObject);
    MethodType.tp_dealloc = dealloc;
    MethodType.tp_repr = repr;
    MethodType.tp_flags = Py_TPFLAGS_DEFAULT;
    MethodType.tp_getset = getset;
    MethodType.tp_methods = methods;
    MethodType.tp_descr_get = descr_get;
    compat::VectorcallType<invoke>::install(MethodType, offsetof(MethodObject, vectorcall));
    return PyType_Ready(&MethodType);
}

// Splits "self, value, pub_key=None, hexs=False" into names and defaults.
int parse_params(Method& m) {
    m.nparams = m.nrequired = 0;
    const char* p = m.params;
    while (*p) {
        while (*p == ' ' || *p == ',')
            p++;
        if (!*p)
            break;
        size_t len = std::strcspn(p, "=,");
        char name[32];
        std::snprintf(name, sizeof name, "%.*s", (int)len, p);
        PyObject* interned = PyUnicode_InternFromString(name);
        if (!interned)
            return -1;
        Py_XDECREF(m.param_names[m.nparams]);
        m.param_names[m.nparams] = interned;
        p += len;
        if (*p == '=') {
            m.defaults[m.nparams] = std::strncmp(p + 1, "None", 4) == 0 ? Py_None : Py_False;
            p += std::strcspn(p, ",");
        } else {
            m.defaults[m.nparams] = nullptr;
            m.nrequired = m.nparams + 1;
        }
        m.nparams++;
    }
    return 0;
}

}  // namespace

int prepare_method(Method& m) {
    if (m.doc)
        return 0;  // prepared by an earlier execution
    if (ready_type() < 0 || parse_params(m) < 0)
        return -1;
    char function[96];
    std::snprintf(function, sizeof function, "crypt_main.TarvikCryptMain.%s", m.name);
    m.site.init(function);
    Ref name(PyUnicode_InternFromString(m.name));
    Ref qualname(PyUnicode_FromFormat("TarvikCryptMain.%s", m.name));
    Ref doc(PyUnicode_FromFormat("TarvikCryptMain.%s(%s)", m.name, m.params));
    if (!name || !qualname || !doc)
        return -1;
    m.name_obj = name.release();
    m.qualname = qualname.release();
    m.doc = doc.release();
    return 0;
}

Ref make_method(Method& m) {
    MethodObject* obj = PyObject_New(MethodObject, &MethodType);
    if (!obj)
        return {};
    obj->vectorcall = invoke;
    obj->method = &m;
    return Ref(reinterpret_cast<PyObject*>(obj));
}

}  // namespace cm
