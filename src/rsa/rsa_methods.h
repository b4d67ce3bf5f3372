// RSA key pairs and PKCS#1 v1.5 encryption through the rsa package.
#pragma once

#include "common/body.h"

namespace cm {

Ref rsa_keys(Call& c, Args a);
Ref rsa_encrypt(Call& c, Args a);
Ref rsa_decrypt(Call& c, Args a);

// The same methods computed natively where the guards let them, and
// otherwise by the bodies above.
Ref rsa_keys_specialised(Call& c, Args a);
Ref rsa_encrypt_specialised(Call& c, Args a);
Ref rsa_decrypt_specialised(Call& c, Args a);

}  // namespace cm
