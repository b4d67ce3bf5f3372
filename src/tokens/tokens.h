// HS256 tokens with an optional lifetime and an issuer.
#pragma once

#include "module/method.h"

namespace cm {

Ref token_encrypt(Frame& f, Args a);
Ref token_decrypt(Frame& f, Args a);

}  // namespace cm
