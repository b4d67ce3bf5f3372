// The statements that AES-ECB, AES-CBC and DES-ECB have in common. Each
// helper is one statement of those methods; `cipher` names the module global
// (AES or DES) that the statement reads, afresh at each use.
#pragma once

#include "common/names.h"
#include "common/ref.h"

namespace cm::pkcs7 {

// <cipher>.new(key.encode("utf-8"), <cipher>.<mode>), and with an IV:
// <cipher>.new(key.encode("utf-8"), <cipher>.<mode>, iv.encode("utf-8"))
Ref new_cryptor(const Name& cipher, const Name& mode, PyObject* key, PyObject* iv = nullptr);

// cryptor.encrypt(pad(value.encode("utf-8"), <cipher>.block_size))
Ref encrypt(PyObject* cryptor, PyObject* value, const Name& cipher);

// cryptor.decrypt(value)
Ref decrypt(PyObject* cryptor, PyObject* value);

// unpad(text, <cipher>.block_size).decode()
Ref unpad_decode(PyObject* text, const Name& cipher);

}  // namespace cm::pkcs7
