// AES-ECB, AES-CBC and DES-ECB through pycryptodome's compiled cipher and
// mode libraries: the statements of the PKCS#7 methods, for the calls that
// the guards let through, with the bytes the library's Python layer gives.
#include "ciphers/ciphers.h"

#include "common/scratch.h"
#include "common/text.h"

#include <cstring>

namespace cm {

// Releases from 3.9 on; their libraries were compared up to 4.5.
NativeLibraries crypto_ciphers("Crypto", 3009, 4005, raw::load_ciphers);

namespace {

// The entry points: what the methods' own statements read before they enter
// pycryptodome (the cipher module and its `new`, its mode and block size, pad
// and unpad), and what the specialised path relies on as it computes: the
// key sizes the cipher takes, and the module `new` hands itself to (its
// sys.modules entry). Everything below is the branch's recording's.
const Step kAes[] = {
    step::global_module("AES", "Crypto.Cipher.AES"),
    step::sys_module("Crypto.Cipher.AES"),
    step::function("Crypto.Cipher.AES", "new"),
    step::value("Crypto.Cipher.AES", "key_size", "(16, 24, 32)"),
    step::value("Crypto.Cipher.AES", "block_size", "16"),
    step::value("Crypto.Cipher.AES", "MODE_ECB", "1"),
};
const Step kAesCbcMode[] = {
    step::value("Crypto.Cipher.AES", "MODE_CBC", "2"),
};
const Step kDes[] = {
    step::global_module("DES", "Crypto.Cipher.DES"),
    step::sys_module("Crypto.Cipher.DES"),
    step::function("Crypto.Cipher.DES", "new"),
    step::value("Crypto.Cipher.DES", "key_size", "8"),
    step::value("Crypto.Cipher.DES", "block_size", "8"),
    step::value("Crypto.Cipher.DES", "MODE_ECB", "1"),
};
const Step kPad[] = {step::global_function("pad", "Crypto.Util.Padding", "pad")};
const Step kUnpad[] = {step::global_function("unpad", "Crypto.Util.Padding", "unpad")};

Guard g_aes(kAes), g_aes_cbc_mode(kAesCbcMode), g_des(kDes), g_pad(kPad), g_unpad(kUnpad);

// A PKCS#7 method's cipher, with the guards of its entry points.
struct NativeCipher {
    const BlockCipher& cipher;
    Guard& library;
    Guard* mode;  // where the mode is more than the library's first
};
const NativeCipher kAesEcb{aes_ecb, g_aes, nullptr}, kAesCbc{aes_cbc, g_aes, &g_aes_cbc_mode},
    kDesEcb{des_ecb, g_des, nullptr};

// key.encode("utf-8") and iv.encode("utf-8") of exact str, of lengths that
// the cipher takes: anything else is the library's to refuse, with its own
// message.
struct KeyAndIv {
    Utf8 key, iv;
    bool make(const BlockCipher& s, Args a) {
        if (!PyUnicode_CheckExact(a[1]) || !key.view(a[1]) || !raw::takes_key(s.raw_cipher, key.size()))
            return false;
        return !s.with_iv ||
               (PyUnicode_CheckExact(a[2]) && iv.view(a[2]) && iv.size() == raw::block_size(s.raw_cipher));
    }
    int crypt(const BlockCipher& s, bool encrypt, const uint8_t* in, uint8_t* out, size_t len) const {
        return without_gil(len, [&] {
            return raw::crypt(s.raw_cipher, s.raw_mode, encrypt, key.data(), key.size(),
                              s.with_iv ? iv.data() : nullptr, in, out, len);
        });
    }
};

// The branch of a call: 0 where the argument types and every guard allow,
// else the generic path. (Keys and IVs of other lengths are declined by the
// branch, for the library to refuse.)
template <const NativeCipher& N, bool Encrypt>
int choose(const Call& c, Args a) {
    bool value_ok = Encrypt ? PyUnicode_CheckExact(a[0]) : PyBytes_CheckExact(a[0]);
    bool ok = value_ok && PyUnicode_CheckExact(a[1]) && (!N.cipher.with_iv || PyUnicode_CheckExact(a[2])) &&
              N.library.holds(c) && (!N.mode || N.mode->holds(c)) && (Encrypt ? g_pad : g_unpad).holds(c) &&
              crypto_ciphers.ready();
    return ok ? 0 : -1;
}

// result = cryptor.encrypt(pad(value.encode("utf-8"), <cipher>.block_size))
template <const NativeCipher& N>
Ref encrypt(int, const Call&, Args a) {
    const BlockCipher& s = N.cipher;
    KeyAndIv k;
    Utf8 data;
    if (!k.make(s, a) || !data.view(a[0]))
        return {};
    size_t block = raw::block_size(s.raw_cipher);
    size_t length = data.size();
    size_t padded = length + block - length % block;
    Scratch plain(padded);
    if (!plain)
        return {};
    std::memcpy(plain.data(), data.data(), length);
    std::memset(plain.data() + length, (int)(padded - length), padded - length);
    data = Utf8();
    Ref result(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)padded));
    if (!result || k.crypt(s, true, plain.data(), bytes_of_new(result.get()), padded) != 0)
        return {};
    return result;
}

// text = cryptor.decrypt(value); result = unpad(text, <cipher>.block_size).decode()
template <const NativeCipher& N>
Ref decrypt(int, const Call&, Args a) {
    const BlockCipher& s = N.cipher;
    KeyAndIv k;
    if (!k.make(s, a))
        return {};
    // whole blocks, at least one
    size_t block = raw::block_size(s.raw_cipher);
    size_t length = (size_t)PyBytes_GET_SIZE(a[0]);
    if (length == 0 || length % block != 0)
        return {};
    Scratch text(length);
    if (!text || k.crypt(s, false, bytes_of(a[0]), text.data(), length) != 0)
        return {};
    // a PKCS#7 pad of 1 to `block` bytes
    size_t pad = text.data()[length - 1];
    if (pad < 1 || pad > block)
        return {};
    for (size_t i = length - pad; i < length; i++)
        if (text.data()[i] != pad)
            return {};
    return Ref(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text.data()), (Py_ssize_t)(length - pad),
                                    nullptr));
}

}  // namespace

Guard& aes_guard() {
    return g_aes;
}
Guard& cbc_guard() {
    return g_aes_cbc_mode;
}

const SpecialisedPath aes_ecb_encrypt_path =
    specialised_path<1>(choose<kAesEcb, true>, encrypt<kAesEcb>, &crypto_ciphers);
const SpecialisedPath aes_ecb_decrypt_path =
    specialised_path<1>(choose<kAesEcb, false>, decrypt<kAesEcb>, &crypto_ciphers);
const SpecialisedPath aes_cbc_encrypt_path =
    specialised_path<1>(choose<kAesCbc, true>, encrypt<kAesCbc>, &crypto_ciphers);
const SpecialisedPath aes_cbc_decrypt_path =
    specialised_path<1>(choose<kAesCbc, false>, decrypt<kAesCbc>, &crypto_ciphers);
const SpecialisedPath des_encrypt_path =
    specialised_path<1>(choose<kDesEcb, true>, encrypt<kDesEcb>, &crypto_ciphers);
const SpecialisedPath des_decrypt_path =
    specialised_path<1>(choose<kDesEcb, false>, decrypt<kDesEcb>, &crypto_ciphers);

}  // namespace cm
