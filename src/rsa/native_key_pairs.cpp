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

// What rsa.newkeys(256) runs, and what the method reads before it.
const Guard kGuards[] = {
    {"", "rsa", Expect::Module, "rsa"},
    {"rsa", "newkeys", Expect::Function, "rsa.key:newkeys"},
    {"rsa", "prime", Expect::Module, "rsa.prime"},
    {"rsa", "common", Expect::Module, "rsa.common"},
    {"rsa", "randnum", Expect::Module, "rsa.randnum"},
    {"rsa.key", "rsa", Expect::Module, "rsa"},
    {"rsa.key", "gen_keys", Expect::Function, "rsa.key:gen_keys"},
    {"rsa.key", "find_p_q", Expect::Function, "rsa.key:find_p_q"},
    {"rsa.key", "calculate_keys_custom_exponent", Expect::Function, "rsa.key:calculate_keys_custom_exponent"},
    {"rsa.key", "PublicKey", Expect::Class, "rsa.key:PublicKey"},
    {"rsa.key", "PrivateKey", Expect::Class, "rsa.key:PrivateKey"},
    {"rsa.key", "max", Expect::Builtin, "max"},
    {"rsa.key", "min", Expect::Builtin, "min"},
    {"rsa.key", "ValueError", Expect::Builtin, "ValueError"},
    {"rsa.prime", "rsa", Expect::Module, "rsa"},
    {"rsa.prime", "getprime", Expect::Function, "rsa.prime:getprime"},
    {"rsa.prime", "is_prime", Expect::Function, "rsa.prime:is_prime"},
    {"rsa.prime", "get_primality_testing_rounds", Expect::Function, "rsa.prime:get_primality_testing_rounds"},
    {"rsa.prime", "miller_rabin_primality_testing", Expect::Function, "rsa.prime:miller_rabin_primality_testing"},
    {"rsa.prime", "range", Expect::Builtin, "range"},
    {"rsa.prime", "pow", Expect::Builtin, "pow"},
    {"rsa.randnum", "read_random_odd_int", Expect::Function, "rsa.randnum:read_random_odd_int"},
    {"rsa.randnum", "read_random_int", Expect::Function, "rsa.randnum:read_random_int"},
    {"rsa.randnum", "read_random_bits", Expect::Function, "rsa.randnum:read_random_bits"},
    {"rsa.randnum", "randint", Expect::Function, "rsa.randnum:randint"},
    {"rsa.randnum", "os", Expect::Module, "os"},
    {"rsa.randnum", "struct", Expect::Module, "struct"},
    {"rsa.randnum", "transform", Expect::Module, "rsa.transform"},
    {"rsa.randnum", "common", Expect::Module, "rsa.common"},
    {"rsa.randnum", "divmod", Expect::Builtin, "divmod"},
    {"rsa.randnum", "ord", Expect::Builtin, "ord"},
    {"os", "urandom", Expect::Builtin, "urandom"},
    {"struct", "pack", Expect::Builtin, "pack"},
    {"rsa.transform", "bytes2int", Expect::Function, "rsa.transform:bytes2int"},
    {"rsa.transform", "int", Expect::Builtin, "int"},
    {"rsa.common", "bit_size", Expect::Function, "rsa.common:bit_size"},
    {"rsa.common", "inverse", Expect::Function, "rsa.common:inverse"},
    {"rsa.common", "extended_gcd", Expect::Function, "rsa.common:extended_gcd"},
    {"rsa.common", "NotRelativePrimeError", Expect::Class, "rsa.common:NotRelativePrimeError"},
};
constexpr size_t kNewkeysRow = 1, kPublicKeyRow = 9, kPrivateKeyRow = 10, kIsPrimeRow = 16;

GuardTable guards(kGuards, sizeof kGuards / sizeof kGuards[0]);

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

// ---- the library's random numbers

// read_random_int(bits): `bits` random bits with the top one set.
template <int W>
bool random_int(RandomPool& pool, u64* out, int bits) {
    uint8_t bytes[8 * W];
    int size = (bits + 7) / 8;
    if (!pool.take(bytes, (size_t)size))
        return false;
    mont::words_of_bytes(out, W, bytes, size);
    std::memset(bytes, 0, sizeof bytes);
    for (int i = 0; i < W; i++) {
        if (64 * i >= bits)
            out[i] = 0;
        else if (64 * (i + 1) > bits)
            out[i] &= ((u64)1 << (bits - 64 * i)) - 1;
    }
    out[(bits - 1) / 64] |= (u64)1 << ((bits - 1) % 64);
    return true;
}

// randint(maxvalue): read_random_int(bit_size(maxvalue)) until one is at
// most maxvalue, a bit shorter after every ten tries.
template <int W>
bool randint(RandomPool& pool, u64* out, const u64* maxvalue) {
    int bit_size = mont::bit_length<W>(maxvalue);
    for (int tries = 0;; tries++) {
        if (!random_int<W>(pool, out, bit_size))
            return false;
        if (!mont::less<W>(maxvalue, out))
            return true;
        if (tries % 10 == 0 && tries)
            bit_size -= 1;
    }
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
    Modulus<W> mod(n);
    u64 one[W] = {1}, n1[W], d[W], maxvalue[W], three[W] = {3};
    mont::copy<W>(n1, n);
    n1[0] -= 1;  // n is odd
    mont::sub<W>(maxvalue, n, three);
    int r = 0;
    while (!((n1[r / 64] >> (r % 64)) & 1))
        r++;
    for (int i = 0; i < W; i++) {
        int word = i + r / 64, shift = r % 64;
        u64 lo = word < W ? n1[word] >> shift : 0;
        u64 hi = shift && word + 1 < W ? n1[word + 1] << (64 - shift) : 0;
        d[i] = lo | hi;
    }
    int bits = mont::bit_length<W>(n);
    for (int k = 0; k < rounds; k++) {
        u64 a[W], x[W];
        if (!randint<W>(pool, a, maxvalue))
            return -1;
        mont::add<W>(a, a, one);  // randint(n - 3) + 1
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
        if (!random_int<W>(pool, out, bits))
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
            if (mont::bit_length<5>(n) == kNBits) {
                mont::copy<4>(k.n, n);
                break;
            }
            if (change_p ? !getprime<3>(pool, k.p, kPBits) : !getprime<2>(pool, k.q, kQBits))
                return false;
            change_p = !change_p;
        }
        // calculate_keys_custom_exponent: d = inverse(e, phi), as the one
        // d < phi with e d = 1 + t phi, t = -phi^-1 mod e (e is prime)
        u64 p1[3], q1[2], phi[5], t_phi[6];
        mont::copy<3>(p1, k.p);
        mont::copy<2>(q1, k.q);
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
        mont::add<6>(t_phi, t_phi, one);
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
    PyObject* defaults = PyFunction_GetDefaults(guards.value(kNewkeysRow));
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

Branches branches;  // _rsa_keys: one branch

}  // namespace

bool pair_guards_hold(const Call& c) { return guards.hold(c) && known_version(c) && default_exponent(); }

bool new_pair(NewPair& out) {
    Numbers k;
    bool made;
    // the prime search is the library's own work, which runs no long
    // stretch without letting other threads in: nor does it here
    Py_BEGIN_ALLOW_THREADS
    made = gen_keys(k);
    Py_END_ALLOW_THREADS
    if (!made)
        return false;
    PyObject* e = default_exponent();
    Ref n = int_of(k.n, 4), d = int_of(k.d, 4), p = int_of(k.p, 3), q = int_of(k.q, 2);
    if (!e || !n || !d || !p || !q) {
        PyErr_Clear();
        return false;
    }
    // PublicKey(n, e), PrivateKey(n, e, d, p, q)
    out.pub = call(guards.value(kPublicKeyRow), n, e);
    out.pri = out.pub ? call(guards.value(kPrivateKeyRow), n, e, d, p, q) : Ref();
    if (!out.pri) {
        PyErr_Clear();
        return false;
    }
    mont::copy<4>(out.n, k.n);
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
        PyObject* is_prime = guards.value(kIsPrimeRow);
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

}  // namespace rsa_native

Ref rsa_keys_specialised(Call& c, Args a) {
    using namespace rsa_native;
    Branches::State& state = branches.state[0];
    if (!switch_on() || state == Branches::Disabled || !pair_guards_hold(c))
        return rsa_keys(c, a);
    NewPair pair;
    if (!new_pair(pair))
        return rsa_keys(c, a);
    if (state == Branches::Unverified) {
        state = pair_is_sound(pair) ? Branches::Enabled : Branches::Disabled;
        if (state == Branches::Disabled)
            return rsa_keys(c, a);
    }
    // return pub_key, pri_key
    return Ref(PyTuple_Pack(2, pair.pub.get(), pair.pri.get()));
}

}  // namespace cm
