// AES-ECB, AES-CBC and DES-ECB through pycryptodome's compiled cipher and
// mode libraries: the statements of the PKCS#7 methods, for the calls that
// the guards let through, with the bytes the library's Python layer gives.
#include "ciphers/ciphers.h"

#include "common/native_library.h"
#include "common/scratch.h"
#include "common/text.h"

#include <cstring>

namespace cm {

bool native_ciphers() {
    static int loaded = 0;
    return loaded_once(loaded, names::Crypto, raw::load_ciphers);
}

namespace {

// The libraries are what the steps read.
bool libraries_hold(const BlockCipher& s, const Call& c, const Pin& padding) {
    return all_hold(c, {&s.module, &s.make, &s.mode_value, &s.block_size, &padding}) && native_ciphers();
}

// key.encode("utf-8") and iv.encode("utf-8") of exact str, of lengths that
// the cipher takes: anything else is the library's to refuse, with its own
// message (asked before the libraries, the cheaper test).
struct KeyAndIv {
    Utf8 key, iv;
    bool make(const BlockCipher& s, Args a) {
        if (!PyUnicode_CheckExact(a[1]) || !key.view(a[1]) || !raw::takes_key(s.raw_cipher, key.size()))
            return false;
        return !s.with_iv ||
               (PyUnicode_CheckExact(a[2]) && iv.view(a[2]) && iv.size() == raw::block_size(s.raw_cipher));
    }
    int crypt(const BlockCipher& s, bool encrypt, const uint8_t* in, uint8_t* out, size_t len) const {
        return raw::crypt(s.raw_cipher, s.raw_mode, encrypt, key.data(), key.size(), s.with_iv ? iv.data() : nullptr,
                          in, out, len);
    }
};

}  // namespace

Fast block_encrypt_fast(const BlockCipher& s, const Call& c, Args a) {
    KeyAndIv k;
    if (!PyUnicode_CheckExact(a[0]) || !k.make(s, a) || !libraries_hold(s, c, pins::pad))
        return {};
    // pad(value.encode("utf-8"), <cipher>.block_size)
    Utf8 data;
    if (!data.view(a[0]))
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
    // cryptor.encrypt(...)
    Ref result(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)padded));
    if (!result || k.crypt(s, true, plain.data(), bytes_of_new(result.get()), padded) != 0)
        return {};
    return {std::move(result)};
}

Fast block_decrypt_fast(const BlockCipher& s, const Call& c, Args a) {
    KeyAndIv k;
    if (!PyBytes_CheckExact(a[0]) || !k.make(s, a) || !libraries_hold(s, c, pins::unpad))
        return {};
    // text = cryptor.decrypt(value): whole blocks, at least one
    size_t block = raw::block_size(s.raw_cipher);
    size_t length = (size_t)PyBytes_GET_SIZE(a[0]);
    if (length == 0 || length % block != 0)
        return {};
    Scratch text(length);
    if (!text || k.crypt(s, false, bytes_of(a[0]), text.data(), length) != 0)
        return {};
    // unpad(text, <cipher>.block_size): a PKCS#7 pad of 1 to `block` bytes
    size_t pad = text.data()[length - 1];
    if (pad < 1 || pad > block)
        return {};
    for (size_t i = length - pad; i < length; i++)
        if (text.data()[i] != pad)
            return {};
    // .decode()
    return {Ref(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text.data()), (Py_ssize_t)(length - pad),
                                     nullptr))};
}

}  // namespace cm
