// Placeholders until RSA is built.
#include "rsa/rsa_methods.h"

namespace cm {

namespace {
Ref pending(Frame&, Args) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return {};
}
}  // namespace

Ref rsa_keys(Frame& f, Args a) { return pending(f, a); }
Ref rsa_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref rsa_decrypt(Frame& f, Args a) { return pending(f, a); }

}  // namespace cm
