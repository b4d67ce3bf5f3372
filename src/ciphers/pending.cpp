// Placeholders until the ciphers are built.
#include "ciphers/ciphers.h"

namespace cm {

namespace {
Ref pending(Frame&, Args) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return {};
}
}  // namespace

Ref aes_ecb_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref aes_ecb_decrypt(Frame& f, Args a) { return pending(f, a); }
Ref aes_cbc_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref aes_cbc_decrypt(Frame& f, Args a) { return pending(f, a); }
Ref des_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref des_decrypt(Frame& f, Args a) { return pending(f, a); }
Ref php_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref php_decrypt(Frame& f, Args a) { return pending(f, a); }
Ref add_to_16(Frame& f, Args a) { return pending(f, a); }

}  // namespace cm
