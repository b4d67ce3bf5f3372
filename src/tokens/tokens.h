// HS256 tokens with an optional lifetime and an issuer.
#pragma once

#include "common/body.h"

namespace cm {

Ref token_encrypt(Call& c, Args a);
Ref token_decrypt(Call& c, Args a);

}  // namespace cm
