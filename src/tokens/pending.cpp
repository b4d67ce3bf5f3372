// Placeholders until tokens are built.
#include "tokens/tokens.h"

namespace cm {

namespace {
Ref pending(Frame&, Args) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return {};
}
}  // namespace

Ref token_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref token_decrypt(Frame& f, Args a) { return pending(f, a); }

}  // namespace cm
