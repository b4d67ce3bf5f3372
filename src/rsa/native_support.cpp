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
constexpr int kAsBytes = Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                         Py_ASNATIVEBYTES_REJECT_NEGATIVE;
}  // namespace

bool number_of(PyObject* x, Number& out, int expected) {
    if (!PyLong_CheckExact(x))
        return false;
    // the expected size first (the conversion fills the whole buffer): the
    // full one only for the numbers that need it
    alignas(8) uint8_t bytes[8 * kMaxWords];
    Py_ssize_t size = expected < 8 ? 8 : expected < (int)sizeof bytes ? (expected + 7) / 8 * 8 : sizeof bytes;
    Py_ssize_t need = PyLong_AsNativeBytes(x, bytes, size, kAsBytes);
    if (need > size && need <= (Py_ssize_t)sizeof bytes) {
        size = (need + 7) / 8 * 8;
        need = PyLong_AsNativeBytes(x, bytes, size, kAsBytes);
    }
    if (need < 0) {
        PyErr_Clear();  // negative
        return false;
    }
    if (need > size)
        return false;
    int words = (int)((need + 7) / 8);  // the bytes above `need` are zero
    std::memcpy(out.w, bytes, 8 * (size_t)words);  // x86-64: little-endian words
    // zero up to the size asked for and a word beyond, not the whole buffer:
    // the numbers of a small key would spend more on that than on their reading
    int zeroed = (int)(size / 8) > words ? (int)(size / 8) : words + 1;
    if (zeroed > kMaxWords)
        zeroed = kMaxWords;
    std::memset(out.w + words, 0, 8 * (size_t)(zeroed - words));
    out.words = words;
    while (out.words && !out.w[out.words - 1])
        out.words--;
    return true;
}

Ref int_of(const u64* w, int words) {
    uint8_t bytes[8 * kMaxWords];
    for (int i = 0; i < words; i++)
        for (int k = 0; k < 8; k++)
            bytes[8 * i + k] = (uint8_t)(w[i] >> (8 * k));
    return Ref(PyLong_FromUnsignedNativeBytes(bytes, (size_t)(8 * words), Py_ASNATIVEBYTES_LITTLE_ENDIAN));
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
