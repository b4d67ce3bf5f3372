#include "common/globals.h"

namespace cm {

Namespaces g_namespaces;

namespace globals {
const Name base64("base64"), hashlib("hashlib"), hmac("hmac"), time("time"), a2b_hex("a2b_hex"),
    b2a_hex("b2a_hex"), jwt("jwt"), rsa("rsa"), AES("AES"), DES("DES"), pad("pad"), unpad("unpad");
}  // namespace globals

namespace {
bool unchanged(uint64_t version, PyObject* dict) { return version && version == compat::dict_version(dict); }
}  // namespace

Ref global_lookup(const Name& name) {
    PyObject* module_dict = g_namespaces.module_dict;
    PyObject* builtins_dict = g_namespaces.builtins_dict;
    Name::GlobalCache& cache = name.global_cache();
    cache.value = nullptr;
    uint64_t module_version = compat::dict_version(module_dict);
    uint64_t builtins_version = 0;
    PyObject* value = PyDict_GetItemWithError(module_dict, name.get());
    bool builtin = !value;
    if (builtin) {
        if (PyErr_Occurred())
            return {};
        builtins_version = compat::dict_version(builtins_dict);
        value = PyDict_GetItemWithError(builtins_dict, name.get());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            return {};
        }
    }
    // Kept if the versions are known and the lookup left the dicts as they
    // were (comparing keys can run code).
    if (unchanged(module_version, module_dict) && (!builtin || unchanged(builtins_version, builtins_dict)))
        cache = {module_version, builtins_version, value};
    return Ref::borrow(value);
}

}  // namespace cm
