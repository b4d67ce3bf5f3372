// Which keys the token paths take: secrets that no release of the library
// refuses, warns about, or could read as a key of another kind.
#pragma once

#include "common/text.h"

namespace cm {

// The UTF-8 bytes of an exact str, or exact bytes, of 32 to 4,096 bytes,
// with nothing that could look like a PEM, SSH, DER or JWK key to any
// release: declined widely rather than each release's rule followed. The
// bytes go to `secret`; no exception is left set.
bool plain_secret(PyObject* key, Utf8& secret);
bool plain_secret(PyObject* key);

}  // namespace cm
