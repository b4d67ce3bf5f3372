// rsa.newkeys(256) computed natively, for _rsa_keys and for the pair that
// _rsa_encrypt makes when it is given no key.
#pragma once

#include "common/body.h"
#include "rsa/montgomery.h"

namespace cm {
namespace rsa_native {

// A new key pair: the library's own key objects, built from primes found
// natively, and the modulus as words.
struct NewPair {
    Ref pub, pri;
    Ref is_prime;  // rsa.prime.is_prime, to check a first pair
    mont::u64 n[4] = {};
};

// Whether everything rsa.newkeys(256) runs is the library's own.
bool pair_guards_hold(const Call& c);

// Makes a pair (the guards held); false where the path declines (no
// exception set), which leaves the work to the generic path.
bool new_pair(NewPair& out);

// A first pair checked with the library's own arithmetic: both primes pass
// rsa.prime.is_prime, of 136 and 120 bits, their product the 256-bit
// modulus, e d = 1 modulo (p - 1)(q - 1). No exception is left set.
bool pair_is_sound(const NewPair& pair);

// Results of the same shape: exact tuples of `size` items of the same types,
// bytes among them of the same length.
bool same_pair_shape(PyObject* fast, PyObject* generic, Py_ssize_t size);

}  // namespace rsa_native
}  // namespace cm
