// RSA key pairs and PKCS#1 v1.5 encryption through the rsa package.
#pragma once

#include "common/body.h"
#include "common/names.h"
#include "common/specialised.h"

namespace cm {

namespace names {
// The rsa package's functions, and the method called through self.
inline Name newkeys("newkeys"), encrypt("encrypt"), decrypt("decrypt"), rsa_keys("_rsa_keys");
}  // namespace names

Ref rsa_keys(Call& c, Args a);
Ref rsa_encrypt(Call& c, Args a);
Ref rsa_decrypt(Call& c, Args a);

// The same methods computed natively, where the guards let them.
extern const SpecialisedPath rsa_keys_path, rsa_encrypt_path, rsa_decrypt_path;

}  // namespace cm
