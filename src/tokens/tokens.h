// HS256 tokens with an optional lifetime and an issuer.
#pragma once

#include "common/specialised.h"

namespace cm {

Ref token_encrypt(Call& c, Args a);
Ref token_decrypt(Call& c, Args a);

// The same, computed here where the guards let the call through.
Fast token_encrypt_fast(const Call& c, Args a);
Fast token_decrypt_fast(const Call& c, Args a);

}  // namespace cm
