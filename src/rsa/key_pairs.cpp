// A fresh RSA key pair with a 256-bit modulus, from the rsa package.
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/unpack.h"

namespace cm {

Ref rsa_keys(Call& c, Args) {
    // pub_key, pri_key = rsa.newkeys(256)
    c.at(2);
    Ref newkeys = global_attr(c, names::rsa, names::newkeys);
    if (!newkeys)
        return {};
    Ref bits(PyLong_FromLong(256));
    if (!bits)
        return {};
    Ref pair = call(newkeys, bits);
    if (!pair)
        return {};
    Ref keys[2];
    if (unpack(pair.get(), keys, 2) < 0)
        return {};
    // return pub_key, pri_key
    c.at(3);
    return Ref(PyTuple_Pack(2, keys[0].get(), keys[1].get()));
}

}  // namespace cm
