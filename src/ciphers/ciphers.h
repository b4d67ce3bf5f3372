// AES-ECB, AES-CBC, DES-ECB, and the zero-padded AES-CBC that PHP peers use.
#pragma once

#include "module/method.h"

namespace cm {

Ref aes_ecb_encrypt(Frame& f, Args a);
Ref aes_ecb_decrypt(Frame& f, Args a);
Ref aes_cbc_encrypt(Frame& f, Args a);
Ref aes_cbc_decrypt(Frame& f, Args a);
Ref des_encrypt(Frame& f, Args a);
Ref des_decrypt(Frame& f, Args a);
Ref php_encrypt(Frame& f, Args a);
Ref php_decrypt(Frame& f, Args a);
Ref add_to_16(Frame& f, Args a);

}  // namespace cm
