// The one table that drives the class TarvikCryptMain: every method, in
// class order, with its parameters, locals and first line.
#include "module/method.h"

#include "ciphers/ciphers.h"
#include "digests/digests.h"
#include "rsa/rsa_methods.h"
#include "tokens/tokens.h"

namespace cm {

namespace {
Ref init(Call&, Args) { return Ref::hold(Py_None); }
}  // namespace

constexpr Kind S = Kind::Static;
constexpr Kind I = Kind::Instance;

// clang-format off
const MethodRow kMethodTable[kMethodCount] = {
    // name                kind  parameters                                  locals                    line  body, specialised path
    {"__init__",           I, "self",                                       "",                       32, init},
    {"_aes_ecb_encrypt",   S, "value, key",                                 "cryptor, result",        52, block_encrypt<aes_ecb>, block_encrypt_fast<aes_ecb>},
    {"_aes_ecb_decrypt",   S, "value, key",                                 "cryptor, text, result",  58, block_decrypt<aes_ecb>, block_decrypt_fast<aes_ecb>},
    {"_aes_cbc_encrypt",   S, "value, key, iv",                             "cryptor, result",        65, block_encrypt<aes_cbc>, block_encrypt_fast<aes_cbc>},
    {"_aes_cbc_decrypt",   S, "value, key, iv",                             "cryptor, text, result",  71, block_decrypt<aes_cbc>, block_decrypt_fast<aes_cbc>},
    {"_base64_encrypt",    S, "value",                                      "result",                 78, base64_encrypt},
    {"_base64_decrypt",    S, "value",                                      "result",                 83, base64_decrypt},
    {"_des_encrypt",       S, "value, key",                                 "cryptor, result",        88, block_encrypt<des_ecb>, block_encrypt_fast<des_ecb>},
    {"_des_decrypt",       S, "value, key",                                 "cryptor, text, result",  94, block_decrypt<des_ecb>, block_decrypt_fast<des_ecb>},
    {"_md5_encrypt",       S, "value, fmt",                                 "result",                101, hex_digest<md5_hex>, hex_digest_fast<md5_hex>},
    {"_md5_hmac_encrypt",  S, "value, key, fmt",                            "result",                117, md5_hmac_encrypt, md5_hmac_fast},
    {"_php_encrypt",       I, "self, value, key, iv, base64s=False",        "cryptor, result",       133, php_encrypt, php_encrypt_fast},
    {"_php_decrypt",       I, "self, value, key, iv, base64s=False",        "cryptor, text, result", 140, php_decrypt, php_decrypt_fast},
    {"_add_to_16",         S, "value",                                      "",                      148, add_to_16},
    {"_rsa_keys",          S, "",                                           "pub_key, pri_key",      155, rsa_keys},
    {"_rsa_encrypt",       I, "self, value, pub_key=None, hexs=False",      "pri_key, text, result", 160, rsa_encrypt},
    {"_rsa_decrypt",       S, "value, pri_key, hexs=False",                 "result",                169, rsa_decrypt},
    {"_sha1_encrypt",      S, "value, fmt",                                 "result",                175, hex_digest<sha1_hex>, hex_digest_fast<sha1_hex>},
    {"_sha256_encrypt",    S, "value, fmt",                                 "result",                188, hex_digest<sha256_hex>, hex_digest_fast<sha256_hex>},
    {"_sha384_encrypt",    S, "value, fmt",                                 "result",                201, hex_digest<sha384_hex>, hex_digest_fast<sha384_hex>},
    {"_sha512_encrypt",    S, "value, fmt",                                 "result",                214, hex_digest<sha512_hex>, hex_digest_fast<sha512_hex>},
    {"_token_encrypt",     S, "data, key, exp_time, issuer",                "token_dict, result",    227, token_encrypt, token_encrypt_fast},
    {"_token_decrypt",     S, "token, key, issuer",                         "token_dict, e",         236, token_decrypt, token_decrypt_fast},
};
// clang-format on

}  // namespace cm
