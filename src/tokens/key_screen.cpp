#include "tokens/key_screen.h"

#include <cstring>

namespace cm {

namespace {

bool contains(const uint8_t* data, size_t n, const char* what) {
    size_t m = std::strlen(what);
    for (size_t i = 0; i + m <= n; i++)
        if (std::memcmp(data + i, what, m) == 0)
            return true;
    return false;
}

}  // namespace

bool plain_secret(PyObject* key, Utf8& secret) {
    if (!secret.view(key)) {
        PyErr_Clear();
        return false;
    }
    const uint8_t* k = secret.data();
    size_t n = secret.size();
    if (n < 32 || n > 4096)
        return false;
    if (std::memchr(k, '{', n) || std::memchr(k, '[', n) || contains(k, n, "----") || contains(k, n, "ssh-") ||
        contains(k, n, "ecdsa-") || contains(k, n, "openssh"))
        return false;
    // a DER SEQUENCE whose length the key could hold
    return !(k[0] == 0x30 && (k[1] >= 0x80 || 2 + (size_t)k[1] <= n));
}

bool plain_secret(PyObject* key) {
    Utf8 secret;
    return plain_secret(key, secret);
}

}  // namespace cm
