#include "ciphers/raw_ciphers.h"

#include "common/native_library.h"

namespace cm::raw {

namespace {

// Every library here names its entry points <prefix>_start_operation and so
// on. A mode library has all four. A block cipher library exports only the
// first two (key schedule, free): the _encrypt and _decrypt that the Python
// layer also declares are internal, reached through the key schedule's
// function pointers by the mode library.
const char* const kEntryNames[] = {"_start_operation", "_stop_operation", "_encrypt", "_decrypt"};
enum Entry { kStart, kStop, kEncrypt, kDecrypt };

enum Library { kAes, kDes, kEcb, kCbc, kLibraries };
const LibrarySpec kAesPortable{"Cipher/_raw_aes", "AES", kEntryNames, 2};
const LibrarySpec kAesNi{"Cipher/_raw_aesni", "AESNI", kEntryNames, 2};
const LibrarySpec kDesLibrary{"Cipher/_raw_des", "DES", kEntryNames, 2};
const LibrarySpec kEcbLibrary{"Cipher/_raw_ecb", "ECB", kEntryNames, 4};
const LibrarySpec kCbcLibrary{"Cipher/_raw_cbc", "CBC", kEntryNames, 4};

LibrarySet g_libraries;

// The entry points' C types, as the Python layer declares them.
using KeySchedule = int (*)(const uint8_t* key, size_t key_len, void** cipher);
using EcbStart = int (*)(void* cipher, void** state);
using CbcStart = int (*)(void* cipher, const uint8_t* iv, size_t iv_len, void** state);
using Run = int (*)(void* state, const uint8_t* in, uint8_t* out, size_t len);
using Stop = int (*)(void* state);

template <class F>
F entry(Library library, Entry e) {
    return reinterpret_cast<F>(g_libraries.entry(library, e));
}

struct CipherSpec {
    Library library;
    size_t block;
    size_t key_sizes[3];
};
const CipherSpec kCiphers[] = {{kAes, 16, {16, 24, 32}}, {kDes, 8, {8, 8, 8}}};

// Whether Crypto.Cipher.AES uses its AES-NI library: 1 or 0, or -1 when the
// module does not tell. From 4.3 it keeps the (start, stop) pair of the
// hardware kernel, or None, in _raw_aes_hw; before, the AES-NI library or
// None in _raw_aesni_lib; and it takes that kernel when the value is true.
// (On a CPU with another hardware kernel, _raw_aesni does not open, and the
// load fails.)
int aes_uses_aesni(PyObject* crypto) {
    Ref aes = import_submodule(crypto, "Cipher.AES");
    for (const char* attribute : {"_raw_aes_hw", "_raw_aesni_lib"}) {
        Ref kernel(aes ? PyObject_GetAttrString(aes.get(), attribute) : nullptr);
        if (kernel)
            return PyObject_IsTrue(kernel.get());
        PyErr_Clear();
    }
    return -1;
}

}  // namespace

bool load_ciphers(PyObject* crypto) {
    int aesni = aes_uses_aesni(crypto);
    PyErr_Clear();
    if (aesni < 0)
        return false;
    const LibrarySpec specs[kLibraries] = {aesni ? kAesNi : kAesPortable, kDesLibrary, kEcbLibrary,
                                           kCbcLibrary};
    return g_libraries.load(crypto, specs, kLibraries);
}

size_t block_size(Cipher c) {
    return kCiphers[(int)c].block;
}

bool takes_key(Cipher c, size_t key_len) {
    for (size_t size : kCiphers[(int)c].key_sizes)
        if (size == key_len)
            return true;
    return false;
}

int crypt(Cipher c, Mode m, bool encrypt, const uint8_t* key, size_t key_len, const uint8_t* iv,
          const uint8_t* in, uint8_t* out, size_t len) {
    const CipherSpec& spec = kCiphers[(int)c];
    // Checked here, not left to the library: before 4.0 a rejected key left
    // its state allocated, and a failed AES-NI key schedule freed its state
    // without clearing the pointer. A failed key schedule is never freed here.
    if (!takes_key(c, key_len))
        return kErrKeySize;

    void* cipher = nullptr;
    int rc = entry<KeySchedule>(spec.library, kStart)(key, key_len, &cipher);
    if (rc)
        return rc;
    Library mode = m == Mode::ECB ? kEcb : kCbc;
    void* state = nullptr;
    rc = m == Mode::ECB ? entry<EcbStart>(kEcb, kStart)(cipher, &state)
                        : entry<CbcStart>(kCbc, kStart)(cipher, iv, spec.block, &state);
    if (rc) {
        entry<Stop>(spec.library, kStop)(cipher);
        return rc;
    }
    // The library refuses null buffers even for no data; no data is no work.
    if (len)
        rc = entry<Run>(mode, encrypt ? kEncrypt : kDecrypt)(state, in, out, len);
    entry<Stop>(mode, kStop)(state);  // frees the key schedule too
    return rc;
}

}  // namespace cm::raw
