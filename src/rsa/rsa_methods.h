// RSA key pairs and PKCS#1 v1.5 encryption through the rsa package.
#pragma once

#include "module/method.h"

namespace cm {

Ref rsa_keys(Frame& f, Args a);
Ref rsa_encrypt(Frame& f, Args a);
Ref rsa_decrypt(Frame& f, Args a);

}  // namespace cm
