// Reading a module global at the moment a call needs it: first the module's
// namespace, then the builtins, else NameError.
#pragma once

#include "common/names.h"
#include "common/ref.h"

namespace cm {

// Set once the module executes; borrowed from the module, which lives for
// the rest of the process.
struct Namespaces {
    PyObject* module_dict = nullptr;
    PyObject* builtins_dict = nullptr;
};
extern Namespaces g_namespaces;

// The names of the module globals, in the order the module binds them.
namespace globals {
extern const Name base64, hashlib, hmac, time, a2b_hex, b2a_hex, jwt, rsa, AES, DES, pad, unpad;
}  // namespace globals

// The lookup itself; it keeps what it found in the name's cache.
Ref global_lookup(const Name& name);

inline Ref global(const Name& name) {
    const Name::GlobalCache& cache = name.global_cache();
    if (cache.value && cache.module_version == compat::dict_version(g_namespaces.module_dict) &&
        (!cache.builtins_version || cache.builtins_version == compat::dict_version(g_namespaces.builtins_dict)))
        return Ref::borrow(cache.value);
    return global_lookup(name);
}

}  // namespace cm
