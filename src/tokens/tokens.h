// HS256 tokens with an optional lifetime and an issuer.
#pragma once

#include "common/body.h"
#include "common/names.h"
#include "common/specialised.h"

namespace cm {

namespace names {
// What the token methods read of PyJWT and of the results, and their texts.
inline Name exceptions("exceptions"), ExpiredSignatureError("ExpiredSignatureError"), get("get"), data("data"),
    iat("iat"), iss("iss"), exp("exp"), HS256("HS256"), tarvik("tarvik"), expired("token已过期"),
    system_error("系统异常：");
// and of PyJWT's clock
inline Name now("now"), timestamp("timestamp");
inline KwNames kw_algorithm({"algorithm"}), kw_issuer_algorithms({"issuer", "algorithms"}), kw_tz({"tz"});
}  // namespace names

Ref token_encrypt(Call& c, Args a);
Ref token_decrypt(Call& c, Args a);

// The specialised paths of the same, where the guards let a call through.
extern const SpecialisedPath token_encrypt_path, token_decrypt_path;

}  // namespace cm
