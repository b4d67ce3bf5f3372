// _rsa_decrypt computed natively: rsa.decrypt's blinded CRT decryption and
// its PKCS#1 v1.5 unpadding, with the key's blinding state read and written
// back as the library does, under the key's own lock. Anything the path was
// not written for, and every failure, takes the generic path, whose result
// and exception are the library's.
#include "rsa/native_support.h"
#include "rsa/private_power.h"
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/specialised.h"

#include <cstring>
#include <new>

namespace cm {

namespace {

using namespace rsa_native;
using mont::Modulus;

// What rsa.decrypt(value, pri_key) reads and runs, after the method's
// own global rsa. (Steps 13 and 14 are the key classes.)
const Step kDecrypt[] = {
    step::global_module("rsa", "rsa"),
    step::imported("rsa", "decrypt", "rsa.pkcs1"),
    step::module_of("rsa.pkcs1", "common", "rsa.common"),
    step::module_of("rsa.pkcs1", "transform", "rsa.transform"),
    step::class_("rsa.pkcs1", "DecryptionError"),
    step::optional(step::builtin("rsa.pkcs1", "len", "builtins", "len")),
    step::function("rsa.common", "byte_size"),
    step::function("rsa.common", "ceil_div"),
    step::function("rsa.common", "bit_size"),
    step::function("rsa.transform", "bytes2int"),
    step::function("rsa.transform", "int2bytes"),
    step::module_of("rsa.transform", "math", "math"),
    step::builtin("math", "ceil", "math", "ceil"),
    step::class_("rsa.key", "PrivateKey"),
    step::class_("rsa.key", "AbstractKey"),
    step::method(13, "blinded_decrypt", "rsa.key", "PrivateKey.blinded_decrypt"),
    step::optional(step::method(13, "blind", "rsa.key", "PrivateKey.blind")),
    step::optional(step::method(13, "unblind", "rsa.key", "PrivateKey.unblind")),
    step::optional(step::method(13, "_update_blinding_factor", "rsa.key", "PrivateKey._update_blinding_factor")),
    step::method(14, "blind", "rsa.key", "AbstractKey.blind"),
    step::method(14, "unblind", "rsa.key", "AbstractKey.unblind"),
    step::method(14, "_update_blinding_factor", "rsa.key", "AbstractKey._update_blinding_factor"),
    step::optional(step::builtin("rsa.key", "pow", "builtins", "pow")),
    step::builtin("builtins", "pow", "builtins", "pow"),
};
constexpr size_t kPrivateKeyStep = 13;
// the builtins the library's helpers read, none of them shadowed
const Step kBuiltins[] = {
    step::builtin("builtins", "len", "builtins", "len"),
    step::optional(step::builtin("rsa.common", "divmod", "builtins", "divmod")),
    step::builtin("builtins", "divmod", "builtins", "divmod"),
    step::optional(step::builtin("rsa.transform", "max", "builtins", "max")),
    step::builtin("builtins", "max", "builtins", "max"),
};
// with hexs, a2b_hex(value) first
const Step kHex[] = {
    step::global_builtin("a2b_hex", "binascii", "a2b_hex"),
};

// for a key not used yet, what _initial_blinding_factor and the inverse run
// (step 0 is the key classes' module, 3 AbstractKey)
const Step kDraw[] = {
    step::sys_module("rsa.key"),
    step::module_of("rsa.key", "rsa", "rsa"),
    step::class_("rsa.key", "PrivateKey"),
    step::class_("rsa.key", "AbstractKey"),
    step::optional(step::method(2, "_initial_blinding_factor", "rsa.key", "PrivateKey._initial_blinding_factor")),
    step::method(3, "_initial_blinding_factor", "rsa.key", "AbstractKey._initial_blinding_factor"),
    step::module_of("rsa", "randnum", "rsa.randnum"),
    step::module_of("rsa", "prime", "rsa.prime"),
    step::module_of("rsa", "common", "rsa.common"),
    step::function("rsa.randnum", "randint"),
    step::function("rsa.randnum", "read_random_int"),
    step::function("rsa.randnum", "read_random_bits"),
    step::module_of("rsa.randnum", "os", "os"),
    step::builtin("os", "urandom", "posix", "urandom"),
    step::module_of("rsa.randnum", "struct", "struct"),
    step::builtin("struct", "pack", "_struct", "pack"),
    step::function("rsa.prime", "are_relatively_prime"),
    step::function("rsa.prime", "gcd"),
    step::function("rsa.common", "inverse"),
    step::function("rsa.common", "extended_gcd"),
    step::optional(step::builtin("rsa.key", "range", "builtins", "range")),
    step::optional(step::builtin("rsa.randnum", "ord", "builtins", "ord")),
    step::builtin("builtins", "ord", "builtins", "ord"),
};

Guard g_decrypt(kDecrypt), g_builtins(kBuiltins), g_hex(kHex), g_draw(kDraw);

Name n_("n"), e_("e"), p_("p"), q_("q"), exp1_("exp1"), exp2_("exp2"), coef_("coef"), blindfac_("blindfac"),
    blindfac_inverse_("blindfac_inverse"), mutex_("mutex"), acquire_("acquire"), release_("release");

int flag_of(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    return flag == Py_False || flag == Py_None ? 0 : -1;
}

int hex_digit(unsigned ch) {
    if (ch - '0' < 10)
        return (int)(ch - '0');
    ch |= 32;
    return ch - 'a' < 6 ? (int)(ch - 'a' + 10) : -1;
}

// The ciphertext: value's bytes, or a2b_hex(value) for exact bytes or an
// ASCII str of hexadecimal digits; false where a2b_hex would refuse (its
// error is the generic path's) or the text is longer than any key here.
constexpr int kMaxBytes = 8 * kMaxWords;
bool ciphertext(PyObject* value, bool hex, uint8_t* out, int& size) {
    const char* chars;
    Py_ssize_t length;
    if (PyBytes_CheckExact(value)) {
        chars = PyBytes_AS_STRING(value);
        length = PyBytes_GET_SIZE(value);
    } else if (hex && PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
        length = PyUnicode_GET_LENGTH(value);
    } else {
        return false;
    }
    if (!hex) {
        if (length > kMaxBytes)
            return false;
        std::memcpy(out, chars, (size_t)length);
        size = (int)length;
        return true;
    }
    if (length % 2 || length / 2 > kMaxBytes)
        return false;
    for (Py_ssize_t i = 0; i < length; i += 2) {
        int hi = hex_digit((unsigned char)chars[i]), lo = hex_digit((unsigned char)chars[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i / 2] = (uint8_t)(hi << 4 | lo);
    }
    size = (int)(length / 2);
    return true;
}

// The numbers of a private key, as PrivateKey.blinded_decrypt reads them.
struct KeyNumbers {
    Number n, e, p, q, exp1, exp2, coef;
};
constexpr Number KeyNumbers::*kKeyNumbers[] = {&KeyNumbers::n,    &KeyNumbers::e,    &KeyNumbers::p,   &KeyNumbers::q,
                                               &KeyNumbers::exp1, &KeyNumbers::exp2, &KeyNumbers::coef};
constexpr int kKeyNumberCount = sizeof kKeyNumbers / sizeof kKeyNumbers[0];

// The key is one the native arithmetic reproduces the library's numbers for:
// n = p q, odd p and q above 1 of at least half n's words, exp1 < p,
// exp2 < q, coef < p. (Keys that break these take the library's own
// arithmetic.)
bool usable(const KeyNumbers& k) {
    const Number &n = k.n, &p = k.p, &q = k.q;
    if (n.words < 2 || p.words < 1 || q.words < 1 || n.words > 2 * p.words || n.words > 2 * q.words)
        return false;
    if (!(p.w[0] & 1) || !(q.w[0] & 1) || (p.words == 1 && p.w[0] == 1) || (q.words == 1 && q.w[0] == 1))
        return false;
    u64 pq[2 * kMaxWords];
    mont::mul_words(pq, p.w, p.words, q.w, q.words);
    for (int i = 0; i < p.words + q.words; i++)
        if (pq[i] != (i < n.words ? n.w[i] : 0))
            return false;
    return below(k.exp1, p) && below(k.exp2, q) && below(k.coef, p);
}

// Each number's words as number_of leaves them (zero above its own up to
// n's and a word beyond), from one KeyNumbers to another; `to` had
// `to_words` words of n, wiped first.
void copy_numbers(KeyNumbers& to, int to_words, const KeyNumbers& from) {
    const int wipe = to_words + 1 < kMaxWords ? to_words + 1 : kMaxWords;
    const int span = from.n.words + 1 < kMaxWords ? from.n.words + 1 : kMaxWords;
    for (auto member : kKeyNumbers) {
        Number& a = to.*member;
        const Number& b = from.*member;
        std::memset(a.w, 0, 8 * (size_t)wipe);
        std::memcpy(a.w, b.w, 8 * (size_t)span);
        a.words = b.words;
    }
}

// The numbers of the usable key read last, and the ints they came from,
// held: an int never changes, so the same objects are the same numbers and
// a key used again is not converted again. Read and written with the GIL;
// kept for the process.
struct LastKey {
    Ref objects[kKeyNumberCount];
    KeyNumbers k;
};
LastKey* g_last_key = nullptr;

// The key's numbers, where they are exact ints and the key is usable.
bool read_key(PyObject* key, KeyNumbers& k) {
    const Name* names[] = {&n_, &e_, &p_, &q_, &exp1_, &exp2_, &coef_};
    Ref values[kKeyNumberCount];
    bool same = g_last_key != nullptr;
    for (int i = 0; i < kKeyNumberCount; i++) {
        values[i] = Ref(PyObject_GetAttr(key, names[i]->get()));
        if (!values[i]) {
            PyErr_Clear();
            return false;
        }
        same = same && values[i].get() == g_last_key->objects[i].get();
    }
    if (same) {
        copy_numbers(k, 0, g_last_key->k);
        return true;
    }
    for (int i = 0; i < kKeyNumberCount; i++)
        // n first: the others are no longer
        if (!number_of(values[i].get(), k.*kKeyNumbers[i], i ? 8 * k.n.words + 8 : 64))
            return false;
    if (!usable(k))
        return false;
    if (!g_last_key) {
        void* memory = PyMem_Calloc(1, sizeof(LastKey));
        g_last_key = memory ? new (memory) LastKey() : nullptr;
    }
    if (g_last_key) {
        copy_numbers(g_last_key->k, g_last_key->k.n.words, k);
        for (int i = 0; i < kKeyNumberCount; i++)
            g_last_key->objects[i] = std::move(values[i]);
    }
    return true;
}

PrivateWords words_of(const KeyNumbers& k) {
    return {k.n.w, k.e.w, k.p.w, k.q.w, k.exp1.w, k.exp2.w, k.coef.w, k.n.words, k.e.words, k.p.words, k.q.words};
}

// The numbers of one decryption.
struct Blinding {
    bool initial = false;    // a key not used yet: its factor is drawn
    Number factor, inverse;  // as read from the key, below n
    u64 next_factor[kMaxWords], next_inverse[kMaxWords];  // as written back, n's words
};

// _initial_blinding_factor: r = randint(n - 1), coprime with n, and
// inverse(r, n), here r^(p-2) and r^(q-2) joined as above and kept only if
// r times it is 1 mod n (so it is the one inverse, whatever the key's
// numbers; otherwise, r not coprime or a key of other numbers, the library
// draws). False to take the generic path.
bool initial_factor(const Modulus& n, const KeyNumbers& key, Blinding& b) {
    const int words = key.n.words;
    RandomPool pool;
    u64 n1[kMaxWords], r[kMaxWords] = {}, inverse[kMaxWords] = {}, check[kMaxWords], one[kMaxWords] = {1},
                       two[kMaxWords] = {2}, p2[kMaxWords] = {}, q2[kMaxWords] = {};
    mont::copy(n1, key.n.w, words);
    n1[0] -= 1;  // n is odd
    if (!randint(pool, r, n1, words))
        return false;
    mont::sub(p2, key.p.w, two, key.p.words);  // p, q > 2: odd and above 1
    mont::sub(q2, key.q.w, two, key.q.words);
    crt_power(inverse, r, n, words_of(key), p2, q2);
    n.mul_plain(check, r, inverse);
    u64 differs = 0;
    for (int i = 0; i < words; i++)
        differs |= check[i] ^ one[i];
    if (differs)
        return false;
    mont::copy(b.next_factor, r, words);
    mont::copy(b.next_inverse, inverse, words);
    return true;
}

// PrivateKey.blinded_decrypt(c) with the factors of _update_blinding_factor
// (drawn for a key not used yet, else the key's squared); `out` is
// int2bytes(result, k). False to take the generic path. Needs no GIL.
bool blinded_decrypt(uint8_t* out, int k, const uint8_t* crypto, int size, const KeyNumbers& key, Blinding& b) {
    Modulus n(key.n.w, key.n.words, true);
    u64 c[kMaxWords], message[kMaxWords];
    mont::words_of_bytes(c, key.n.words, crypto, size);
    n.reduce(c, c);  // bytes2int(crypto) may exceed n; the library reduces it
    if (b.initial) {
        if (!initial_factor(n, key, b))
            return false;
    } else {
        n.mul_plain(b.next_factor, b.factor.w, b.factor.w);
        n.mul_plain(b.next_inverse, b.inverse.w, b.inverse.w);
    }
    blinded_power(message, c, n, words_of(key), b.next_factor, b.next_inverse);
    mont::bytes_of_words(out, k, message);
    return true;
}

// cleartext = 00 02 PS 00 M with the separator at index 10 or later: the
// offset of M, or -1. Every byte is looked at.
int message_offset(const uint8_t* clear, int k) {
    unsigned bad = clear[0] | (clear[1] ^ 2);
    int separator = 0;
    for (int i = k - 1; i >= 2; i--) {
        unsigned zero = (unsigned)((clear[i] | (0u - clear[i])) >> 8 & 1) ^ 1;  // 1 when the byte is 0
        unsigned m = 0u - zero;
        separator = (int)(((unsigned)i & m) | ((unsigned)separator & ~m));
    }
    return bad || separator < 10 ? -1 : separator + 1;
}

// Holds a key's lock, as `with key.mutex:` does, for the rest of the call.
class Locked {
public:
    // false with an exception when acquire() raised
    bool take(PyObject* mutex) {
        Ref got = call_method(mutex, acquire_);
        if (!got)
            return false;
        mutex_ = mutex;
        return true;
    }
    ~Locked() {
        if (!mutex_)
            return;
        Ref pending(PyErr_GetRaisedException());
        Ref done = call_method(mutex_, release_);
        if (!done)
            PyErr_Clear();
        if (pending)
            PyErr_SetRaisedException(pending.release());
    }

private:
    PyObject* mutex_ = nullptr;  // the key holds it
};

PyTypeObject* lock_type() {
    static PyObject* type = nullptr;
    if (!type) {
        Ref module(PyImport_ImportModule("_thread"));
        Ref found = module ? Ref(PyObject_GetAttrString(module.get(), "LockType")) : Ref();
        if (!found || !PyType_Check(found.get())) {
            PyErr_Clear();
            return nullptr;
        }
        type = keep(std::move(found));
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

// The key's blinding factors, read under its lock: both exact ints from 0 to
// n - 1, or, for a key not used yet, a negative blindfac (whose factor the
// path draws where the guard of what the library runs to draw it holds).
bool read_blinding(const Call& c, PyObject* key, const Number& n, Blinding& b) {
    Ref factor(PyObject_GetAttr(key, blindfac_.get()));
    Ref inverse = factor ? Ref(PyObject_GetAttr(key, blindfac_inverse_.get())) : Ref();
    if (!inverse) {
        PyErr_Clear();
        return false;
    }
    if (PyLong_CheckExact(factor.get())) {
        int overflow;
        long long small = PyLong_AsLongLongAndOverflow(factor.get(), &overflow);
        if (overflow < 0 || (!overflow && small < 0)) {
            b.initial = true;
            return g_draw.holds(c);
        }
    }
    int size = 8 * n.words + 8;
    return number_of(factor.get(), b.factor, size) && number_of(inverse.get(), b.inverse, size) &&
           below(b.factor, n) && below(b.inverse, n);
}

// What the native steps found, for the caller to return or verify.
struct Outcome {
    Ref result;           // the text
    Ref factor, inverse;  // the blinding state to write back
};

bool write_blinding(PyObject* key, const Outcome& o) {
    return PyObject_SetAttr(key, blindfac_.get(), o.factor.get()) == 0 &&
           PyObject_SetAttr(key, blindfac_inverse_.get(), o.inverse.get()) == 0;
}

// Whether what the generic path reads and runs is still the library's own:
// before the work, and again after it ran without the GIL.
bool steps_hold(const Call& c, bool hex) {
    return g_decrypt.holds(c) && g_builtins.holds(c) && (!hex || g_hex.holds(c));
}

// The decryption under the key's lock: 1 with the outcome (written back to
// the key when `write`), 0 to take the generic path (nothing written), -1
// with an exception when the lock raised.
int decrypt_locked(const Call& c, PyObject* key, const KeyNumbers& k, const uint8_t* crypto, int size, int blocksize,
                   bool hex, bool write, Outcome& o) {
    Ref mutex(PyObject_GetAttr(key, mutex_.get()));
    if (!mutex || Py_TYPE(mutex.get()) != lock_type()) {
        PyErr_Clear();
        return 0;
    }
    Locked locked;
    if (!locked.take(mutex.get()))
        return -1;
    Blinding b;
    if (!read_blinding(c, key, k.n, b))
        return 0;
    uint8_t clear[kMaxBytes];
    // the key's lock stays taken: its state is read above and written
    // below, with the GIL, as the library does it
    bool made = !without_gil_then(
        k.n.bits() >= kGilBits ? kGilThreshold : 0,
        [&] { return blinded_decrypt(clear, blocksize, crypto, size, k, b) ? 0 : 1; },
        [&] { return steps_hold(c, hex) && (!b.initial || g_draw.holds(c)); });
    int offset = made ? message_offset(clear, blocksize) : -1;
    if (offset >= 0)
        o.result = Ref(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(clear + offset), blocksize - offset,
                                            nullptr));
    std::memset(clear, 0, (size_t)blocksize);
    if (offset < 0)
        return 0;  // DecryptionError, after the library's own state update
    o.factor = o.result ? int_of(b.next_factor, k.n.words) : Ref();
    o.inverse = o.factor ? int_of(b.next_inverse, k.n.words) : Ref();
    if (!o.inverse) {
        PyErr_Clear();
        return 0;
    }
    if (write && !write_blinding(key, o))
        return -1;
    return 1;
}

// The branch: raw bytes, hexadecimal bytes or hexadecimal str, under an
// exact PrivateKey, while every step is the library's own.
int choose(const Call& c, Args a) {
    int hex = flag_of(a[2]);
    PyObject* value = a[0];
    bool value_ok = PyBytes_CheckExact(value) || (hex > 0 && PyUnicode_CheckExact(value));
    bool ok = hex >= 0 && value_ok && steps_hold(c, hex > 0) &&
              (PyObject*)Py_TYPE(a[1]) == g_decrypt.object(kPrivateKeyStep).get() && known_version();
    return ok ? (!hex ? 0 : PyBytes_CheckExact(value) ? 1 : 2) : -1;
}

// result = rsa.decrypt(value, pri_key).decode(), value through a2b_hex with hexs
Ref run(int branch, const Call& c, Args a) {
    PyObject* key = a[1];
    uint8_t crypto[kMaxBytes];
    int size = 0;
    KeyNumbers k;
    if (!ciphertext(a[0], branch > 0, crypto, size) || !read_key(key, k))
        return {};
    int blocksize = (k.n.bits() + 7) / 8;
    if (size > blocksize)
        return {};  // the library's DecryptionError
    Outcome o;
    bool write = !c.verifying;  // a verifying call leaves the key to the library
    int done = decrypt_locked(c, key, k, crypto, size, blocksize, branch > 0, write, o);
    if (done <= 0)
        return {};  // declined, or the lock raised: the generic path meets it again
    return std::move(o.result);
}

}  // namespace

const SpecialisedPath rsa_decrypt_path = specialised_path<3>(choose, run);

}  // namespace cm
