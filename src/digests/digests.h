// Base64 text, MD5 and HMAC-MD5, and the SHA family.
#pragma once

#include "module/method.h"

namespace cm {

Ref base64_encrypt(Frame& f, Args a);
Ref base64_decrypt(Frame& f, Args a);
Ref md5_encrypt(Frame& f, Args a);
Ref md5_hmac_encrypt(Frame& f, Args a);
Ref sha1_encrypt(Frame& f, Args a);
Ref sha256_encrypt(Frame& f, Args a);
Ref sha384_encrypt(Frame& f, Args a);
Ref sha512_encrypt(Frame& f, Args a);

}  // namespace cm
