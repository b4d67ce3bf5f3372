// _rsa_encrypt computed natively: rsa.encrypt's PKCS#1 v1.5 padding, with
// random bytes from getrandom as os.urandom reads them, and the public-key
// power; with no key given, the pair made natively as rsa.newkeys makes it
// (when self._rsa_keys is the class's own). Anything the path was not
// written for, a message too long included, takes the generic path.
#include "rsa/native_key_pairs.h"
#include "rsa/native_support.h"
#include "rsa/rsa_methods.h"

#include "common/call.h"
#include "common/specialised.h"
#include "common/text.h"

#include <cstring>

namespace cm {

namespace {

using namespace rsa_native;
using mont::Modulus;

// What rsa.encrypt(message, pub_key) reads and runs, after the method's
// own global rsa.
const Step kEncrypt[] = {
    step::global_module("rsa", "rsa"),
    step::imported("rsa", "encrypt", "rsa.pkcs1"),
    step::module_of("rsa.pkcs1", "common", "rsa.common"),
    step::module_of("rsa.pkcs1", "transform", "rsa.transform"),
    step::module_of("rsa.pkcs1", "core", "rsa.core"),
    step::module_of("rsa.pkcs1", "os", "os"),
    step::function("rsa.pkcs1", "_pad_for_encryption"),
    step::builtin("os", "urandom", "posix", "urandom"),
    step::function("rsa.common", "byte_size"),
    step::function("rsa.common", "ceil_div"),
    step::function("rsa.common", "bit_size"),
    step::function("rsa.transform", "bytes2int"),
    step::function("rsa.transform", "int2bytes"),
    step::module_of("rsa.transform", "math", "math"),
    step::builtin("math", "ceil", "math", "ceil"),
    step::function("rsa.core", "encrypt_int"),
    step::function("rsa.core", "assert_int"),
    step::class_("rsa.key", "PublicKey"),
    step::optional(step::builtin("rsa.core", "pow", "builtins", "pow")),
    step::builtin("builtins", "pow", "builtins", "pow"),
    step::optional(step::builtin("rsa.pkcs1", "len", "builtins", "len")),
    step::builtin("builtins", "len", "builtins", "len"),
};
constexpr size_t kEncryptIntStep = 15, kPublicKeyStep = 17;
// the other builtins the library's helpers read, none of them shadowed
const Step kBuiltins[] = {
    step::optional(step::builtin("rsa.core", "isinstance", "builtins", "isinstance")),
    step::builtin("builtins", "isinstance", "builtins", "isinstance"),
    step::optional(step::builtin("rsa.common", "divmod", "builtins", "divmod")),
    step::builtin("builtins", "divmod", "builtins", "divmod"),
    step::optional(step::builtin("rsa.transform", "max", "builtins", "max")),
    step::builtin("builtins", "max", "builtins", "max"),
};
// with hexs, b2a_hex(text) after
const Step kHex[] = {
    step::global_builtin("b2a_hex", "binascii", "b2a_hex"),
};
// with no key, self._rsa_keys as the class gives it: the class's own
// staticmethod around the module's own function
const Step kOwnKeys[] = {
    step::module_class_global("TarvikCryptMain"),
    step::module_method(0, "_rsa_keys", rsa_keys),
};

Guard g_encrypt(kEncrypt), g_builtins(kBuiltins), g_hex(kHex), g_own_keys(kOwnKeys);

// The first result of each branch, checked with the library's functions.
FirstResults first;

Name n_("n"), e_("e");

int flag_of(PyObject* flag) {
    if (flag == Py_True)
        return 1;
    return flag == Py_False || flag == Py_None ? 0 : -1;
}

// self._rsa_keys is the module's own _rsa_keys: self is of the class
// itself, whose lookup is the plain one, and the lookup gives the function
// unless self's own dict has another.
bool own_rsa_keys(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (reinterpret_cast<PyObject*>(type) != g_own_keys.object(0).get() ||
        PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
        return false;
    Ref found(PyObject_GetAttr(self, names::rsa_keys.get()));
    return found && is_module_method(found.get(), rsa_keys);
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

// pow(bytes2int(block), e, n) as k bytes. Needs no GIL.
void power(uint8_t* out, const uint8_t* block, int k, const Number& n, const Number& e) {
    Modulus mod(n.w, n.words, true);
    u64 x[kMaxWords], r[kMaxWords];
    mont::words_of_bytes(x, n.words, block, k);
    mod.pow_public(r, x, e.w, e.words);
    mont::bytes_of_words(out, k, r);
}

// The library's own steps agree: core.encrypt_int(bytes2int(block), e, n)
// is the ciphertext's number; for a pair made here, the pair is sound and
// rsa.decrypt, under a copy of its private key, gives the message back.
bool verified(const Call& c, PyObject* encrypt_int, const uint8_t* block, const uint8_t* out, int k, PyObject* e,
              PyObject* n, const NewPair* pair, const uint8_t* message, int length) {
    u64 words[kMaxWords];
    int nwords = (k + 7) / 8;
    mont::words_of_bytes(words, nwords, block, k);
    Ref payload = int_of(words, nwords);
    mont::words_of_bytes(words, nwords, out, k);
    Ref expected = int_of(words, nwords);
    Ref encrypted = payload ? call(encrypt_int, payload, e, n) : Ref();
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

// Whether what the generic path reads and runs is still the library's own:
// before the work, and again after it ran without the GIL.
bool steps_hold(const Call& c, bool generate, bool hex) {
    return (!generate || g_own_keys.holds(c)) && g_encrypt.holds(c) && g_builtins.holds(c) && (!hex || g_hex.holds(c));
}

// The branch: a key given (an exact PublicKey) or a pair to make (pub_key
// None or False, and self._rsa_keys the class's own), raw or hexadecimal,
// for an exact str, while every step is the library's own.
int choose(const Call& c, Args a) {
    PyObject *self = a[0], *key = a[2];
    int hex = flag_of(a[3]);
    bool generate = key == Py_None || key == Py_False;
    bool ok = hex >= 0 && PyUnicode_CheckExact(a[1]) && steps_hold(c, generate, hex > 0) &&
              (generate ? own_rsa_keys(self) && pair_guards_hold(c) : true) && known_version() &&
              (generate || ((PyObject*)Py_TYPE(key) == g_encrypt.object(kPublicKeyStep).get() &&
                            plainly_true(Py_TYPE(key))));
    PyErr_Clear();
    int branch = (generate ? 2 : 0) + hex;
    return ok && first.state[branch] != FirstResults::Refused ? branch : -1;
}

// text = rsa.encrypt(value.encode(), pub_key), the pair made first when
// none is given; result = b2a_hex(text) if hexs else text
Ref run(int branch, const Call& c, Args a) {
    PyObject *value = a[1], *key = a[2];
    bool generate = branch >= 2, hex = branch % 2;
    Ref n_obj, e_obj;
    Number n, e;
    if (!generate) {
        n_obj = Ref(PyObject_GetAttr(key, n_.get()));
        e_obj = n_obj ? Ref(PyObject_GetAttr(key, e_.get())) : Ref();
        if (!e_obj || !number_of(n_obj.get(), n) || !number_of(e_obj.get(), e) || n.words < 2 || !(n.w[0] & 1))
            return {};
    }
    // value.encode(): a message too long is the library's OverflowError
    Utf8 message;
    int k = generate ? 32 : (n.bits() + 7) / 8;
    if (k < 11 || !message.view(value) || message.size() > (size_t)(k - 11))
        return {};
    // held past a key search, while other threads run
    Ref encrypt_int = Ref::hold(g_encrypt.object(kEncryptIntStep));
    NewPair pair;
    if (generate) {
        if (!new_pair(pair))
            return {};
        n_obj = Ref(PyObject_GetAttr(pair.pub.get(), n_.get()));
        e_obj = n_obj ? Ref(PyObject_GetAttr(pair.pub.get(), e_.get())) : Ref();
        if (!e_obj || !number_of(n_obj.get(), n) || !number_of(e_obj.get(), e))
            return {};
    }
    uint8_t block[kMaxBytes], out[kMaxBytes];
    int length = (int)message.size();
    if (!pad(block, k, message.data(), length))
        return {};
    u64 payload[kMaxWords];
    mont::words_of_bytes(payload, n.words, block, k);  // k bytes: n's words at most
    if (mont::less(n.w, payload, n.words))
        return {};  // the library's OverflowError
    int declined = without_gil_then(
        n.bits() >= kGilBits ? kGilThreshold : 0,
        [&] {
            power(out, block, k, n, e);
            return 0;
        },
        [&] { return steps_hold(c, generate, hex); });
    if (declined)
        return {};
    if (first.state[branch] == FirstResults::Unchecked) {
        bool sound = verified(c, encrypt_int.get(), block, out, k, e_obj.get(), n_obj.get(),
                              generate ? &pair : nullptr, message.data(), length);
        first.state[branch] = sound ? FirstResults::Sound : FirstResults::Refused;
        if (!sound)
            return {};
    }
    std::memset(block, 0, sizeof block);
    Ref result = hex ? hex_bytes(out, k) : Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out), k));
    if (!result || !generate)
        return result;
    // return (result, pub_key, pri_key)
    return Ref(PyTuple_Pack(3, result.get(), pair.pub.get(), pair.pri.get()));
}

// Ciphertexts are random: results agree when they have the same shape.
bool agree(PyObject* fast, PyObject* generic) {
    if (PyBytes_CheckExact(fast))
        return PyBytes_CheckExact(generic) && PyBytes_GET_SIZE(fast) == PyBytes_GET_SIZE(generic);
    return same_pair_shape(fast, generic, 3);
}

}  // namespace

const SpecialisedPath rsa_encrypt_path = specialised_path<4>(choose, run, nullptr, agree);

}  // namespace cm
