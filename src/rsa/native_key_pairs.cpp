// rsa.newkeys(256) with the library's algorithm, computed natively: p of
// 136 and q of 120 bits, each drawn as a random odd number with its top bit
// set and tested with 11 Miller-Rabin rounds whose witnesses are drawn as
// rsa.randnum.randint draws them; q and p drawn again, alternately, until
// p q has 256 bits; e = 65537 and d = e^-1 mod (p - 1)(q - 1), with new
// primes where e and phi share a factor. Random bytes come from getrandom,
// as os.urandom reads them. A division by small primes first rejects most
// composites; it changes no pair that can come out. The key objects are the
// library's own, built as newkeys builds them.
#include "rsa/native_key_pairs.h"

#include "rsa/native_support.h"
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/specialised.h"

#include <cstring>

namespace cm {
namespace rsa_native {

namespace {

using mont::Modulus;

// What rsa.newkeys(256) reads and runs: the method's own global rsa and
// its newkeys (asked first: a stand-in there is the likeliest) ...
const Step kEntry[] = {
    step::global_module("rsa", "rsa"),
    step::imported("rsa", "newkeys", "rsa.key"),
};
constexpr size_t kNewkeysStep = 1;
// ... the modules, functions and classes it runs ...
const Step kNewkeys[] = {
    step::module_of("rsa", "prime", "rsa.prime"),
    step::module_of("rsa", "common", "rsa.common"),
    step::module_of("rsa", "randnum", "rsa.randnum"),
    step::module_of("rsa.key", "rsa", "rsa"),
    step::function("rsa.key", "gen_keys"),
    step::function("rsa.key", "find_p_q"),
    step::function("rsa.key", "calculate_keys_custom_exponent"),
    step::class_("rsa.key", "PublicKey"),
    step::class_("rsa.key", "PrivateKey"),
    step::module_of("rsa.prime", "rsa", "rsa"),
    step::function("rsa.prime", "getprime"),
    step::function("rsa.prime", "is_prime"),
    step::function("rsa.prime", "get_primality_testing_rounds"),
    step::function("rsa.prime", "miller_rabin_primality_testing"),
    step::function("rsa.randnum", "read_random_odd_int"),
    step::function("rsa.randnum", "read_random_int"),
    step::function("rsa.randnum", "read_random_bits"),
    step::function("rsa.randnum", "randint"),
    step::module_of("rsa.randnum", "os", "os"),
    step::module_of("rsa.randnum", "struct", "struct"),
    step::module_of("rsa.randnum", "transform", "rsa.transform"),
    step::module_of("rsa.randnum", "common", "rsa.common"),
};
constexpr size_t kPublicKeyStep = 7, kPrivateKeyStep = 8, kIsPrimeStep = 11;
// ... and what those call in turn: the randomness, the number helpers and
// the builtins, none of them shadowed in the library's modules
const Step kHelpers[] = {
    step::builtin("os", "urandom", "posix", "urandom"),
    step::builtin("struct", "pack", "_struct", "pack"),
    step::function("rsa.transform", "bytes2int"),
    step::function("rsa.common", "bit_size"),
    step::function("rsa.common", "inverse"),
    step::function("rsa.common", "extended_gcd"),
    step::class_("rsa.common", "NotRelativePrimeError"),
    step::optional(step::builtin("rsa.key", "max", "builtins", "max")),
    step::optional(step::builtin("rsa.key", "min", "builtins", "min")),
    step::optional(step::builtin("rsa.prime", "pow", "builtins", "pow")),
    step::optional(step::builtin("rsa.randnum", "divmod", "builtins", "divmod")),
    step::optional(step::builtin("rsa.randnum", "ord", "builtins", "ord")),
    step::builtin("builtins", "max", "builtins", "max"),
    step::builtin("builtins", "min", "builtins", "min"),
    step::builtin("builtins", "pow", "builtins", "pow"),
    step::builtin("builtins", "divmod", "builtins", "divmod"),
    step::builtin("builtins", "ord", "builtins", "ord"),
};

Guard g_entry(kEntry), g_newkeys(kNewkeys), g_helpers(kHelpers);

constexpr u64 kExponent = 65537;
constexpr int kPBits = 136, kQBits = 120, kNBits = 256;  // newkeys(256): 128 bits shifted by 128 // 16
constexpr int kRounds = 11;  // is_prime: 10 below 512 bits, plus one

// ---- a division by the small primes, of all of them, whatever the number

// Whether x (32-bit halves, low first) has one of P as a factor: x mod
// their product, then mod each; every divisor a constant.
template <u64... P>
struct Sieve {
    static constexpr u64 G = (P * ...);
    static_assert(G < (u64)1 << 32, "the product must stay within 32 bits");
    static u64 hits(const uint32_t* h, int count) {
        u64 r = 0;
        for (int i = count - 1; i >= 0; i--)
            r = ((r << 32) | h[i]) % G;
        return ((u64)(r % P == 0) | ...);
    }
};

bool small_factor(const u64* w, int bits) {
    uint32_t h[2 * mont::kMaxWords];
    int count = (bits + 31) / 32;
    for (int i = 0; i < count; i++)
        h[i] = (uint32_t)(w[i / 2] >> (32 * (i % 2)));
    u64 hit = Sieve<3, 5, 7, 11, 13, 17, 19, 23>::hits(h, count) | Sieve<29, 31, 37, 41, 43, 47>::hits(h, count) |
              Sieve<53, 59, 61, 67, 71>::hits(h, count) | Sieve<73, 79, 83, 89, 97>::hits(h, count) |
              Sieve<101, 103, 107, 109>::hits(h, count) | Sieve<113, 127, 131, 137>::hits(h, count) |
              Sieve<139, 149, 151, 157>::hits(h, count) | Sieve<163, 167, 173, 179>::hits(h, count) |
              Sieve<181, 191, 193, 197>::hits(h, count) | Sieve<199, 211, 223, 227>::hits(h, count) |
              Sieve<229, 233, 239, 241>::hits(h, count);
    return hit != 0;
}

template <int W>
bool equal(const u64* a, const u64* b) {
    u64 x = 0;
    for (int i = 0; i < W; i++)
        x |= a[i] ^ b[i];
    return x == 0;
}

// miller_rabin_primality_testing(n, rounds): 1 probably prime, 0
// composite, -1 without random bytes.
template <int W>
int miller_rabin(RandomPool& pool, const u64* n, int rounds) {
    Modulus mod(n, W);  // a secret candidate
    u64 one[W] = {1}, n1[W], d[W], maxvalue[W], three[W] = {3};
    mont::copy(n1, n, W);
    n1[0] -= 1;  // n is odd
    mont::sub(maxvalue, n, three, W);
    int r = 0;
    while (!((n1[r / 64] >> (r % 64)) & 1))
        r++;
    for (int i = 0; i < W; i++) {
        int word = i + r / 64, shift = r % 64;
        u64 lo = word < W ? n1[word] >> shift : 0;
        u64 hi = shift && word + 1 < W ? n1[word + 1] << (64 - shift) : 0;
        d[i] = lo | hi;
    }
    int bits = mont::bit_length(n, W);
    for (int k = 0; k < rounds; k++) {
        u64 a[W], x[W];
        if (!randint(pool, a, maxvalue, W))
            return -1;
        mont::add(a, a, one, W);  // randint(n - 3) + 1
        mod.pow(x, a, d, bits);
        if (equal<W>(x, one) || equal<W>(x, n1))
            continue;
        bool passed = false;
        for (int i = 0; i < r - 1 && !passed; i++) {
            mod.mul_plain(x, x, x);
            if (equal<W>(x, one))
                return 0;
            passed = equal<W>(x, n1);
        }
        if (!passed)
            return 0;
    }
    return 1;
}

// getprime(bits): read_random_odd_int(bits) until is_prime says yes.
template <int W>
bool getprime(RandomPool& pool, u64* out, int bits) {
    for (;;) {
        if (!random_int(pool, out, W, bits))
            return false;
        out[0] |= 1;
        if (small_factor(out, bits))
            continue;
        int verdict = miller_rabin<W>(pool, out, kRounds);
        if (verdict != 0)
            return verdict > 0;
    }
}

struct Numbers {
    u64 p[3], q[2], n[4], d[4];
    ~Numbers() {
        volatile u64* w = p;  // the secrets go with the call
        for (size_t i = 0; i < sizeof(*this) / sizeof(u64); i++)
            w[i] = 0;
    }
};

// x mod 65537, x of `words` words; the divisor a constant.
u64 mod_exponent(const u64* x, int words) {
    u64 r = 0;
    for (int i = 2 * words - 1; i >= 0; i--)
        r = ((r << 32) | (uint32_t)(x[i / 2] >> (32 * (i % 2)))) % kExponent;
    return r;
}

// gen_keys(256, getprime, accurate=True, exponent=65537). No GIL needed.
bool gen_keys(Numbers& k) {
    RandomPool pool;
    for (;;) {
        // find_p_q(128)
        if (!getprime<3>(pool, k.p, kPBits) || !getprime<2>(pool, k.q, kQBits))
            return false;
        bool change_p = false;
        for (;;) {
            u64 n[5];
            mont::mul_words(n, k.p, 3, k.q, 2);
            if (mont::bit_length(n, 5) == kNBits) {
                mont::copy(k.n, n, 4);
                break;
            }
            if (change_p ? !getprime<3>(pool, k.p, kPBits) : !getprime<2>(pool, k.q, kQBits))
                return false;
            change_p = !change_p;
        }
        // calculate_keys_custom_exponent: d = inverse(e, phi), as the one
        // d < phi with e d = 1 + t phi, t = -phi^-1 mod e (e is prime)
        u64 p1[3], q1[2], phi[5], t_phi[6];
        mont::copy(p1, k.p, 3);
        mont::copy(q1, k.q, 2);
        p1[0] -= 1;
        q1[0] -= 1;
        mont::mul_words(phi, p1, 3, q1, 2);
        u64 r = mod_exponent(phi, 5);
        if (r == 0)
            continue;  // NotRelativePrimeError: new primes
        u64 inv = 1, base = r;
        for (u64 e = kExponent - 2; e; e >>= 1) {  // r^(e - 2) mod e, a public exponent
            if (e & 1)
                inv = inv * base % kExponent;
            base = base * base % kExponent;
        }
        u64 t = kExponent - inv;
        mont::mul_words(t_phi, phi, 5, &t, 1);
        u64 one[6] = {1};
        mont::add(t_phi, t_phi, one, 6);
        // exact division by e: multiply by e^-1 mod 2^64, word by word
        u64 e_inv = kExponent;
        for (int i = 0; i < 5; i++)
            e_inv *= 2 - kExponent * e_inv;
        u64 borrow = 0;
        for (int i = 0; i < 4; i++) {
            u64 x = t_phi[i] - borrow;
            u64 under = t_phi[i] < borrow;
            u64 quotient = x * e_inv;
            k.d[i] = quotient;
            borrow = (u64)(((mont::u128)quotient * kExponent) >> 64) + under;
        }
        volatile u64* wipe = phi;
        for (int i = 0; i < 5; i++)
            wipe[i] = 0;
        return true;
    }
}

// newkeys's defaults are (True, 1, 65537): its exponent, or null.
PyObject* default_exponent() {
    PyObject* defaults = PyFunction_GetDefaults(g_entry.object(kNewkeysStep).get());
    if (!defaults || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 3 ||
        PyTuple_GET_ITEM(defaults, 0) != Py_True)
        return nullptr;
    PyObject* poolsize = PyTuple_GET_ITEM(defaults, 1);
    PyObject* exponent = PyTuple_GET_ITEM(defaults, 2);
    Number one, e;
    if (!number_of(poolsize, one) || one.words != 1 || one.w[0] != 1 || !number_of(exponent, e) ||
        e.words != 1 || e.w[0] != kExponent)
        return nullptr;
    return exponent;
}

FirstResults first;  // _rsa_keys: one branch

}  // namespace

bool pair_guards_hold(const Call& c) {
    bool ok = g_entry.holds(c) && g_newkeys.holds(c) && g_helpers.holds(c) && known_version() && default_exponent();
    PyErr_Clear();
    return ok;
}

bool new_pair(NewPair& out) {
    // what the guards found, held past the search, while other threads run
    Ref e = Ref::hold(default_exponent()), public_key = Ref::hold(g_newkeys.object(kPublicKeyStep)),
        private_key = Ref::hold(g_newkeys.object(kPrivateKeyStep));
    out.is_prime = Ref::hold(g_newkeys.object(kIsPrimeStep));
    if (!e || !public_key || !private_key || !out.is_prime)
        return false;
    Numbers k;
    bool made;
    // the prime search is the library's own work, which runs no long
    // stretch without letting other threads in: nor does it here
    Py_BEGIN_ALLOW_THREADS
    made = gen_keys(k);
    Py_END_ALLOW_THREADS
    if (!made)
        return false;
    Ref n = int_of(k.n, 4), d = int_of(k.d, 4), p = int_of(k.p, 3), q = int_of(k.q, 2);
    if (!n || !d || !p || !q) {
        PyErr_Clear();
        return false;
    }
    // PublicKey(n, e), PrivateKey(n, e, d, p, q)
    out.pub = call(public_key, n, e);
    out.pri = out.pub ? call(private_key, n, e, d, p, q) : Ref();
    if (!out.pri) {
        PyErr_Clear();
        return false;
    }
    mont::copy(out.n, k.n, 4);
    return true;
}

bool pair_is_sound(const NewPair& pair) {
    auto number = [](PyObject* key, const char* name) { return Ref(PyObject_GetAttrString(key, name)); };
    auto bits = [](const Ref& x) { return x ? Ref(PyObject_CallMethod(x.get(), "bit_length", nullptr)) : Ref(); };
    auto equals = [](const Ref& x, long value) {
        Ref v(PyLong_FromLong(value));
        return x && v && PyObject_RichCompareBool(x.get(), v.get(), Py_EQ) == 1;
    };
    Ref n = number(pair.pub.get(), "n"), e = number(pair.pub.get(), "e"), p = number(pair.pri.get(), "p"),
        q = number(pair.pri.get(), "q"), d = number(pair.pri.get(), "d"), one(PyLong_FromLong(1));
    bool sound = n && e && p && q && d && one;
    if (sound) {
        const Ref& is_prime = pair.is_prime;
        Ref p_prime = call(is_prime, p), q_prime = call(is_prime, q);
        Ref pq(PyNumber_Multiply(p.get(), q.get()));
        Ref p1(PyNumber_Subtract(p.get(), one.get())), q1(PyNumber_Subtract(q.get(), one.get()));
        Ref phi = p1 && q1 ? Ref(PyNumber_Multiply(p1.get(), q1.get())) : Ref();
        Ref ed(PyNumber_Multiply(e.get(), d.get()));
        Ref rest = ed && phi ? Ref(PyNumber_Remainder(ed.get(), phi.get())) : Ref();
        sound = p_prime.get() == Py_True && q_prime.get() == Py_True && equals(bits(p), kPBits) &&
                equals(bits(q), kQBits) && equals(bits(n), kNBits) && pq &&
                PyObject_RichCompareBool(pq.get(), n.get(), Py_EQ) == 1 && equals(rest, 1);
    }
    PyErr_Clear();
    return sound;
}

namespace {

// Two results agree when both are pairs of key objects of the same types
// (the keys themselves are random).
bool same_shape(PyObject* fast, PyObject* generic, Py_ssize_t size) {
    if (!PyTuple_CheckExact(fast) || !PyTuple_CheckExact(generic) || PyTuple_GET_SIZE(fast) != size ||
        PyTuple_GET_SIZE(generic) != size)
        return false;
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *x = PyTuple_GET_ITEM(fast, i), *y = PyTuple_GET_ITEM(generic, i);
        if (Py_TYPE(x) != Py_TYPE(y) || (PyBytes_Check(x) && PyBytes_GET_SIZE(x) != PyBytes_GET_SIZE(y)))
            return false;
    }
    return true;
}

int choose(const Call& c, Args) {
    return first.state[0] != FirstResults::Refused && pair_guards_hold(c) ? 0 : -1;
}

// pub_key, pri_key = rsa.newkeys(256); return pub_key, pri_key
Ref run(int, const Call&, Args) {
    NewPair pair;
    if (!new_pair(pair))
        return {};
    if (first.state[0] == FirstResults::Unchecked) {
        first.state[0] = pair_is_sound(pair) ? FirstResults::Sound : FirstResults::Refused;
        if (first.state[0] == FirstResults::Refused)
            return {};
    }
    return Ref(PyTuple_Pack(2, pair.pub.get(), pair.pri.get()));
}

}  // namespace

bool same_pair_shape(PyObject* fast, PyObject* generic, Py_ssize_t size) { return same_shape(fast, generic, size); }

}  // namespace rsa_native

const SpecialisedPath rsa_keys_path = specialised_path<1>(
    rsa_native::choose, rsa_native::run, nullptr,
    [](PyObject* fast, PyObject* generic) { return rsa_native::same_pair_shape(fast, generic, 2); });

}  // namespace cm
