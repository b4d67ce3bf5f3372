// _rsa_encrypt computed natively: rsa.encrypt's PKCS#1 v1.5 padding, with
// random bytes from getrandom as os.urandom reads them, and the public-key
// power; with no key given, the pair made natively as rsa.newkeys makes it
// (when self._rsa_keys is the class's own). Anything the path was not
// written for, a message too long included, takes the generic path.
#include "rsa/native_key_pairs.h"
#include "rsa/native_support.h"
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/scratch.h"
#include "common/specialised.h"
#include "common/text.h"

#include <cstring>

namespace cm {

namespace {

using namespace rsa_native;
using mont::Modulus;

// What rsa.encrypt(message, pub_key) runs, and what the method reads before it.
const Guard kGuards[] = {
    {"", "rsa", Expect::Module, "rsa"},
    {"rsa", "encrypt", Expect::Function, "rsa.pkcs1:encrypt"},
    {"rsa.pkcs1", "common", Expect::Module, "rsa.common"},
    {"rsa.pkcs1", "transform", Expect::Module, "rsa.transform"},
    {"rsa.pkcs1", "core", Expect::Module, "rsa.core"},
    {"rsa.pkcs1", "os", Expect::Module, "os"},
    {"rsa.pkcs1", "_pad_for_encryption", Expect::Function, "rsa.pkcs1:_pad_for_encryption"},
    {"rsa.pkcs1", "len", Expect::Builtin, "len"},
    {"os", "urandom", Expect::Builtin, "urandom"},
    {"rsa.common", "byte_size", Expect::Function, "rsa.common:byte_size"},
    {"rsa.common", "ceil_div", Expect::Function, "rsa.common:ceil_div"},
    {"rsa.common", "bit_size", Expect::Function, "rsa.common:bit_size"},
    {"rsa.common", "divmod", Expect::Builtin, "divmod"},
    {"rsa.transform", "bytes2int", Expect::Function, "rsa.transform:bytes2int"},
    {"rsa.transform", "int2bytes", Expect::Function, "rsa.transform:int2bytes"},
    {"rsa.transform", "int", Expect::Builtin, "int"},
    {"rsa.transform", "max", Expect::Builtin, "max"},
    {"rsa.transform", "math", Expect::Module, "math"},
    {"math", "ceil", Expect::Builtin, "ceil"},
    {"rsa.core", "encrypt_int", Expect::Function, "rsa.core:encrypt_int"},
    {"rsa.core", "assert_int", Expect::Function, "rsa.core:assert_int"},
    {"rsa.core", "isinstance", Expect::Builtin, "isinstance"},
    {"rsa.core", "pow", Expect::Builtin, "pow"},
    {"rsa.key", "PublicKey", Expect::Class, "rsa.key:PublicKey"},
};
constexpr size_t kEncryptIntRow = 19, kPublicKeyRow = 23;
// and with hexs, b2a_hex(text) after
const Guard kHexGuards[] = {
    {"", "b2a_hex", Expect::Builtin, "b2a_hex"},
};

GuardTable guards(kGuards, sizeof kGuards / sizeof kGuards[0]);
GuardTable hex_guards(kHexGuards, 1);

// Branches: a key given, raw or hexadecimal; a pair made, raw or hexadecimal.
Branches branches;

// the class's own _rsa_keys, as the class gives it
Pin own_rsa_keys_pin(pins::TarvikCryptMain, names::rsa_keys);

Name n_("n"), e_("e");

int flag_of(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    return flag == Py_False || flag == Py_None ? 0 : -1;
}

// self._rsa_keys is the class's own, found as the class gives it.
bool own_rsa_keys(const Call& c, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if ((PyObject*)type != pins::TarvikCryptMain.value().get() || type->tp_getattro != PyObject_GenericGetAttr ||
        !pins::TarvikCryptMain.holds(c) || !own_rsa_keys_pin.holds(c))
        return false;
    Ref dict(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    return PyDict_Contains(dict.get(), names::rsa_keys.get()) == 0;
}

// An object of this type is true without running anyone's code.
bool plainly_true(PyTypeObject* type) {
    return !(type->tp_as_number && type->tp_as_number->nb_bool) &&
           !(type->tp_as_mapping && type->tp_as_mapping->mp_length) &&
           !(type->tp_as_sequence && type->tp_as_sequence->sq_length);
}

constexpr int kMaxBytes = 8 * kMaxWords;

// _pad_for_encryption(message, k): 00 02, k - len - 3 random nonzero bytes,
// 00, the message. False without random bytes.
bool pad(uint8_t* block, int k, const uint8_t* message, int length) {
    int needed = k - length - 3;
    block[0] = 0;
    block[1] = 2;
    // as the library draws them: what is still needed and five more, the
    // zero bytes dropped
    uint8_t drawn[kMaxBytes + 5];
    for (int filled = 0; filled < needed;) {
        int size = needed - filled + 5;
        if (!random_bytes(drawn, (size_t)size))
            return false;
        for (int i = 0; i < size && filled < needed; i++) {
            block[2 + filled] = drawn[i];
            filled += drawn[i] != 0;
        }
    }
    std::memset(drawn, 0, sizeof drawn);
    block[2 + needed] = 0;
    std::memcpy(block + 3 + needed, message, (size_t)length);
    return true;
}

// pow(bytes2int(block), e, n) as k bytes
template <int W>
void power(uint8_t* out, const uint8_t* block, int k, const Number& n, const Number& e) {
    Modulus<W> mod(n.w);
    u64 x[W], r[W];
    mont::words_of_bytes(x, W, block, k);
    mod.pow_public(r, x, e.w, e.words);
    mont::bytes_of_words(out, k, r);
}

// The library's own steps agree: core.encrypt_int(bytes2int(block), e, n)
// is the ciphertext's number; for a pair made here, the pair is sound and
// rsa.decrypt, under a copy of its private key, gives the message back.
bool verified(const Call& c, const uint8_t* block, const uint8_t* out, int k, PyObject* e, PyObject* n,
              const NewPair* pair, const uint8_t* message, int length) {
    u64 words[kMaxWords];
    int nwords = (k + 7) / 8;
    mont::words_of_bytes(words, nwords, block, k);
    Ref payload = int_of(words, nwords);
    mont::words_of_bytes(words, nwords, out, k);
    Ref expected = int_of(words, nwords);
    Ref encrypted = payload ? call(guards.value(kEncryptIntRow), payload, e, n) : Ref();
    bool same = encrypted && expected && PyObject_RichCompareBool(encrypted.get(), expected.get(), Py_EQ) == 1;
    if (same && pair) {
        same = pair_is_sound(*pair);
        static const char* const fields[] = {"n", "e", "d", "p", "q"};
        Ref values[5];
        for (int i = 0; i < 5 && same; i++)
            same = bool(values[i] = Ref(PyObject_GetAttrString(pair->pri.get(), fields[i])));
        Ref copy = same ? call(Ref(PyObject_Type(pair->pri.get())), values[0], values[1], values[2], values[3],
                               values[4])
                        : Ref();
        Ref decrypt = copy ? global_attr(c, names::rsa, names::decrypt) : Ref();
        Ref text(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out), k));
        Ref back = decrypt && text ? call(decrypt, text, copy) : Ref();
        same = back && PyBytes_CheckExact(back.get()) && PyBytes_GET_SIZE(back.get()) == length &&
               std::memcmp(PyBytes_AS_STRING(back.get()), message, (size_t)length) == 0;
    }
    PyErr_Clear();
    return same;
}

Ref hex_bytes(const uint8_t* data, int size) {
    Ref result(PyBytes_FromStringAndSize(nullptr, 2 * size));
    if (!result)
        return {};
    static const char digits[] = "0123456789abcdef";
    char* out = PyBytes_AS_STRING(result.get());
    for (int i = 0; i < size; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return result;
}

}  // namespace

// a: self, value, pub_key, hexs
Ref rsa_encrypt_specialised(Call& c, Args a) {
    PyObject *self = a[0], *value = a[1], *key = a[2];
    int hex = flag_of(a[3]);
    bool generate = key == Py_None || key == Py_False;
    if (!switch_on() || hex < 0 || !PyUnicode_CheckExact(value))
        return rsa_encrypt(c, a);
    int variant = (generate ? 2 : 0) + hex;
    Branches::State& state = branches.state[variant];
    if (state == Branches::Disabled || !guards.hold(c) || (hex && !hex_guards.hold(c)) || !known_version(c))
        return rsa_encrypt(c, a);

    // the key: given, or to be made
    Ref n_obj, e_obj;
    Number n, e;
    if (generate) {
        if (!own_rsa_keys(c, self) || !pair_guards_hold(c))
            return rsa_encrypt(c, a);
    } else {
        PyTypeObject* type = Py_TYPE(key);
        if ((PyObject*)type != guards.value(kPublicKeyRow) || !plainly_true(type))
            return rsa_encrypt(c, a);
        n_obj = Ref(PyObject_GetAttr(key, n_.get()));
        e_obj = n_obj ? Ref(PyObject_GetAttr(key, e_.get())) : Ref();
        if (!e_obj || !number_of(n_obj.get(), n) || !number_of(e_obj.get(), e) || n.words < 2 || !(n.w[0] & 1)) {
            PyErr_Clear();
            return rsa_encrypt(c, a);
        }
    }
    // value.encode(): a message too long is the library's OverflowError
    Utf8 message;
    int k = generate ? 32 : (n.bits() + 7) / 8;
    if (k < 11 || !message.view(value) || message.size() > (size_t)(k - 11)) {
        PyErr_Clear();
        return rsa_encrypt(c, a);
    }
    NewPair pair;
    if (generate) {
        if (!new_pair(pair))
            return rsa_encrypt(c, a);
        n_obj = Ref(PyObject_GetAttr(pair.pub.get(), n_.get()));
        e_obj = n_obj ? Ref(PyObject_GetAttr(pair.pub.get(), e_.get())) : Ref();
        if (!e_obj || !number_of(n_obj.get(), n) || !number_of(e_obj.get(), e)) {
            PyErr_Clear();
            return rsa_encrypt(c, a);
        }
    }

    // text = rsa.encrypt(value.encode(), pub_key)
    uint8_t block[kMaxBytes], out[kMaxBytes];
    int length = (int)message.size();
    if (!pad(block, k, message.data(), length))
        return rsa_encrypt(c, a);
    u64 payload[kMaxWords];
    mont::words_of_bytes(payload, kMaxWords, block, k);
    if (mont::less<kMaxWords>(n.w, payload))
        return rsa_encrypt(c, a);  // the library's OverflowError
    switch (n.words) {
        case 2: power<2>(out, block, k, n, e); break;
        case 3: power<3>(out, block, k, n, e); break;
        default: power<4>(out, block, k, n, e); break;
    }
    if (state == Branches::Unverified) {
        bool sound = verified(c, block, out, k, e_obj.get(), n_obj.get(), generate ? &pair : nullptr,
                              message.data(), length);
        state = sound ? Branches::Enabled : Branches::Disabled;
        if (!sound)
            return rsa_encrypt(c, a);
    }
    std::memset(block, 0, sizeof block);

    // result = b2a_hex(text) if hexs else text
    Ref result = hex ? hex_bytes(out, k) : Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out), k));
    if (!result || !generate)
        return result;
    // return (result, pub_key, pri_key)
    return Ref(PyTuple_Pack(3, result.get(), pair.pub.get(), pair.pri.get()));
}

}  // namespace cm
