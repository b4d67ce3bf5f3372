#include "rsa/native_support.h"

#include "common/call.h"

#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace cm {
namespace rsa_native {

int Number::bits() const { return words ? 64 * (words - 1) + 64 - __builtin_clzll(w[words - 1]) : 0; }

namespace {
// The value of each hexadecimal digit that hex() writes, 16 for any other.
struct HexDigits {
    uint8_t of[256];
    constexpr HexDigits() : of() {
        for (int i = 0; i < 256; i++)
            of[i] = 16;
        for (int i = 0; i < 10; i++)
            of['0' + i] = (uint8_t)i;
        for (int i = 0; i < 6; i++)
            of['a' + i] = (uint8_t)(10 + i);
    }
};
constexpr HexDigits kHex;
}  // namespace

bool number_of(PyObject* x, Number& out) {
    if (!PyLong_CheckExact(x))
        return false;
    out = Number();
    int overflow;
    long long small = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (overflow == 0) {
        if (small < 0)
            return false;  // negative (or -1 with an error, which an exact int cannot raise)
        out.w[0] = (u64)small;
        out.words = small ? 1 : 0;
        return true;
    }
    if (overflow < 0)
        return false;
    // hex(x): "0x" and the digits, written in linear time by the int itself
    Ref text(PyNumber_ToBase(x, 16));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (PyUnicode_KIND(text.get()) != PyUnicode_1BYTE_KIND || length < 3)
        return false;
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text.get());
    Py_ssize_t digits = length - 2;
    if (digits > 16 * kMaxWords)
        return false;
    unsigned bad = 0;
    for (Py_ssize_t k = 0; k < digits; k++) {
        unsigned v = kHex.of[chars[length - 1 - k]];
        bad |= v;
        out.w[k / 16] |= (u64)(v & 15) << (4 * (k % 16));
    }
    if (bad & 16)
        return false;
    out.words = (int)((digits + 15) / 16);
    while (out.words && !out.w[out.words - 1])
        out.words--;
    return true;
}

Ref int_of(const u64* w, int words) {
    char text[16 * kMaxWords + 1];
    static const char digits[] = "0123456789abcdef";
    int k = 0;
    for (int i = words - 1; i >= 0; i--)
        for (int s = 60; s >= 0; s -= 4)
            text[k++] = digits[(w[i] >> s) & 15];
    if (k == 0)
        text[k++] = '0';
    text[k] = '\0';
    return Ref(PyLong_FromString(text, nullptr, 16));
}

bool random_bytes(uint8_t* out, size_t size) {
    while (size) {
        long got = syscall(SYS_getrandom, out, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += got;
        size -= (size_t)got;
    }
    return true;
}

bool RandomPool::take(uint8_t* out, size_t size) {
    while (size) {
        if (!left_) {
            if (!random_bytes(buffer_, sizeof buffer_))
                return false;
            left_ = sizeof buffer_;
        }
        size_t n = size < left_ ? size : left_;
        uint8_t* from = buffer_ + sizeof buffer_ - left_;
        std::memcpy(out, from, n);
        std::memset(from, 0, n);  // a byte handed out is not kept
        left_ -= n;
        out += n;
        size -= n;
    }
    return true;
}

namespace {
Ref module_named(const char* name) {
    Ref text(PyUnicode_FromString(name));
    return text ? Ref(PyImport_GetModule(text.get())) : Ref();
}
}  // namespace

bool known_version() {
    static int known = 0;  // 0 not asked yet, 1 known, -1 not
    if (!known) {
        known = -1;
        Ref module = module_named("rsa");
        Ref version = module ? Ref(PyObject_GetAttrString(module.get(), "__version__")) : Ref();
        const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
        if (text && (!std::strcmp(text, "4.9") || !std::strcmp(text, "4.9.1")))
            known = 1;
        PyErr_Clear();
    }
    return known > 0;
}

}  // namespace rsa_native
}  // namespace cm
