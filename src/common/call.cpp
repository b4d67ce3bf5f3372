#include "common/call.h"

namespace cm {

Ref module_attr_lookup(PyObject* obj, PyObject* dict, const Name& name) {
    uint64_t version = compat::dict_version(dict);
    Name::AttrCache& cache = name.attr_cache();
    cache.value = nullptr;
    Ref value = attr(obj, name);
    // Kept if it is the dict's entry, the module type has no attribute of
    // that name, and neither lookup changed the dict (comparing keys can run
    // code).
    if (value && version && !_PyType_Lookup(&PyModule_Type, name.get())) {
        PyObject* entry = PyDict_GetItemWithError(dict, name.get());
        if (entry == value.get() && version == compat::dict_version(dict))
            cache = {obj, version, entry};
        else if (!entry)
            PyErr_Clear();  // an error of this check is none of the caller's
    }
    return value;
}

PyObject* type_method_lookup(PyObject* obj, const Name& name) {
    PyTypeObject* type = Py_TYPE(obj);
    Name::MethodCache& cache = name.method_cache();
    cache.function = nullptr;
    if (!compat::plain_instances(type))
        return nullptr;
    PyObject* function = _PyType_Lookup(type, name.get());  // gives the type a version
    if (!function || !compat::binds_like_function(function))
        return nullptr;
    unsigned int version = compat::type_version(type);
    if (version)
        cache = {type, version, function};
    return function;
}

MethodRef method_attr(PyObject* obj, const Name& name) {
    MethodRef m;
    if (PyObject* function = type_method(obj, name)) {
        m.callable = Ref::borrow(function);
        m.self = obj;
        return m;
    }
    PyObject* callable = nullptr;
    int unbound = compat::get_method(obj, name.get(), &callable);
    m.callable = Ref(callable);
    if (unbound > 0)
        m.self = obj;
    return m;
}

}  // namespace cm
