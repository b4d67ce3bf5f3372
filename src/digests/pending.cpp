// Placeholders until the digests are built.
#include "digests/digests.h"

namespace cm {

namespace {
Ref pending(Frame&, Args) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return {};
}
}  // namespace

Ref md5_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref md5_hmac_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref sha1_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref sha256_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref sha384_encrypt(Frame& f, Args a) { return pending(f, a); }
Ref sha512_encrypt(Frame& f, Args a) { return pending(f, a); }

}  // namespace cm
