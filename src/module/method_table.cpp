// The one table that drives the class TarvikCryptMain: every method, in
// class order, with its parameters, locals and first line.
#include "module/method.h"

#include "ciphers/ciphers.h"
#include "digests/digests.h"
#include "rsa/rsa_methods.h"
#include "tokens/tokens.h"

#include <iterator>

namespace cm {

namespace {
Ref init(Call&, Args) { return Ref::hold(Py_None); }
}  // namespace

constexpr Kind S = Kind::Static;
constexpr Kind I = Kind::Instance;

// clang-format off
const MethodRow kMethodTable[kMethodCount] = {
    // name                kind  parameters                                                              locals                                line  body, specialised path
    {"__init__",           I, params("self"),                                                            locals(),                               32, init},
    {"_aes_ecb_encrypt",   S, params("value", "key"),                                                    locals("cryptor", "result"),            52, block_encrypt<aes_ecb>, &aes_ecb_encrypt_path},
    {"_aes_ecb_decrypt",   S, params("value", "key"),                                                    locals("cryptor", "text", "result"),    58, block_decrypt<aes_ecb>, &aes_ecb_decrypt_path},
    {"_aes_cbc_encrypt",   S, params("value", "key", "iv"),                                              locals("cryptor", "result"),            65, block_encrypt<aes_cbc>, &aes_cbc_encrypt_path},
    {"_aes_cbc_decrypt",   S, params("value", "key", "iv"),                                              locals("cryptor", "text", "result"),    71, block_decrypt<aes_cbc>, &aes_cbc_decrypt_path},
    {"_base64_encrypt",    S, params("value"),                                                           locals("result"),                       78, base64_encrypt, &base64_encrypt_path},
    {"_base64_decrypt",    S, params("value"),                                                           locals("result"),                       83, base64_decrypt, &base64_decrypt_path},
    {"_des_encrypt",       S, params("value", "key"),                                                    locals("cryptor", "result"),            88, block_encrypt<des_ecb>, &des_encrypt_path},
    {"_des_decrypt",       S, params("value", "key"),                                                    locals("cryptor", "text", "result"),    94, block_decrypt<des_ecb>, &des_decrypt_path},
    {"_md5_encrypt",       S, params("value", "fmt"),                                                    locals("result"),                      101, hex_digest<md5_hex>, &md5_path},
    {"_md5_hmac_encrypt",  S, params("value", "key", "fmt"),                                             locals("result"),                      117, md5_hmac_encrypt, &md5_hmac_path},
    {"_php_encrypt",       I, params("self", "value", "key", "iv", optional("base64s", false_default)), locals("cryptor", "result"),           133, php_encrypt, &php_encrypt_path},
    {"_php_decrypt",       I, params("self", "value", "key", "iv", optional("base64s", false_default)), locals("cryptor", "text", "result"),   140, php_decrypt, &php_decrypt_path},
    {"_add_to_16",         S, params("value"),                                                           locals(),                              148, add_to_16, &add_to_16_path},
    {"_rsa_keys",          S, params(),                                                                  locals("pub_key", "pri_key"),          155, rsa_keys, &rsa_keys_path},
    {"_rsa_encrypt",       I, params("self", "value", optional("pub_key", none_default), optional("hexs", false_default)),
                                                                                                         locals("pri_key", "text", "result"),   160, rsa_encrypt, &rsa_encrypt_path},
    {"_rsa_decrypt",       S, params("value", "pri_key", optional("hexs", false_default)),             locals("result"),                      169, rsa_decrypt, &rsa_decrypt_path},
    {"_sha1_encrypt",      S, params("value", "fmt"),                                                    locals("result"),                      175, hex_digest<sha1_hex>, &sha1_path},
    {"_sha256_encrypt",    S, params("value", "fmt"),                                                    locals("result"),                      188, hex_digest<sha256_hex>, &sha256_path},
    {"_sha384_encrypt",    S, params("value", "fmt"),                                                    locals("result"),                      201, hex_digest<sha384_hex>, &sha384_path},
    {"_sha512_encrypt",    S, params("value", "fmt"),                                                    locals("result"),                      214, hex_digest<sha512_hex>, &sha512_path},
    {"_token_encrypt",     S, params("data", "key", "exp_time", "issuer"),                               locals("token_dict", "result"),        227, token_encrypt, &token_encrypt_path},
    {"_token_decrypt",     S, params("token", "key", "issuer"),                                          locals("token_dict", "e"),             236, token_decrypt, &token_decrypt_path},
};
// clang-format on
static_assert(std::size(kMethodTable) == kMethodCount, "one row per method");

}  // namespace cm
