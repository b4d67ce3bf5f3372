"""A short tour of crypt_main: every operation once, with what it gives."""
import crypt_main

C = crypt_main.TarvikCryptMain
crypt = C()


def show(title, call, result):
    if isinstance(result, bytes) and not result.isalnum():  # raw bytes read better as hex
        result = f"<{len(result)} bytes> {result.hex()}"
    else:
        result = repr(result)
    print(f"{title:<10} {call:<56} -> {result}")


print("crypt_main: one class, TarvikCryptMain, of stateless text operations\n")

print("Symmetric ciphers (raw bytes out, str back)")
key16, key8, iv = "0123456789abcdef", "8bytekey", "fedcba9876543210"
ct = C._aes_ecb_encrypt("hello", key16)
show("AES-ECB", '_aes_ecb_encrypt("hello", key16)', ct)
show("", "_aes_ecb_decrypt(ct, key16)", C._aes_ecb_decrypt(ct, key16))
ct = C._aes_cbc_encrypt("hello", key16, iv)
show("AES-CBC", '_aes_cbc_encrypt("hello", key16, iv)', ct)
show("", "_aes_cbc_decrypt(ct, key16, iv)", C._aes_cbc_decrypt(ct, key16, iv))
ct = C._des_encrypt("hello", key8)
show("DES-ECB", '_des_encrypt("hello", "8bytekey")', ct)
show("", '_des_decrypt(ct, "8bytekey")', C._des_decrypt(ct, key8))

print("\nAES-CBC with zero padding and GBK text, as PHP peers use it")
show("zero pad", '_add_to_16("中")', C._add_to_16("中"))
b64 = crypt._php_encrypt("你好, PHP", "secret", iv, base64s=True)
show("PHP AES", '_php_encrypt("你好, PHP", "secret", iv, base64s=True)', b64)
show("", '_php_decrypt(b64, "secret", iv, base64s=True)', crypt._php_decrypt(b64, "secret", iv, base64s=True))

print("\nBase64 and digests")
show("Base64", '_base64_encrypt("abc")', C._base64_encrypt("abc"))
show("", '_base64_decrypt("YWJj")', C._base64_decrypt("YWJj"))
show("MD5", '_md5_encrypt("abc", "upper")', C._md5_encrypt("abc", "upper"))
show("HMAC-MD5", '_md5_hmac_encrypt("abc", "key", None)  # raw bytes', C._md5_hmac_encrypt("abc", "key", None))
show("SHA-1", '_sha1_encrypt("abc", "lower")', C._sha1_encrypt("abc", "lower"))
show("SHA-256", '_sha256_encrypt("abc", None)', C._sha256_encrypt("abc", None))
show("SHA-384", '_sha384_encrypt("abc", None)', C._sha384_encrypt("abc", None)[:32] + "...")
show("SHA-512", '_sha512_encrypt("abc", None)', C._sha512_encrypt("abc", None)[:32] + "...")

print("\nRSA (256-bit keys, PKCS#1 v1.5)")
ct, pub, pri = crypt._rsa_encrypt("abc", hexs=True)
show("RSA", '_rsa_encrypt("abc", hexs=True)  # made a pair', ct)
show("", "_rsa_decrypt(ct, pri, hexs=True)", C._rsa_decrypt(ct, pri, hexs=True))
pub2, pri2 = C._rsa_keys()
show("", '_rsa_encrypt("abc", pub2)  # bytes alone', len(crypt._rsa_encrypt("abc", pub2)))

print("\nHS256 tokens")
secret = "a shared secret of at least 32 bytes!"
token = C._token_encrypt({"user": 42}, secret, 3600, "my-service")
show("issue", '_token_encrypt({"user": 42}, secret, 3600, "my-service")', token)
show("verify", '_token_decrypt(token, secret, "my-service")', C._token_decrypt(token, secret, "my-service"))
show("", '_token_decrypt(token, "another key ...", "my-service")',
     C._token_decrypt(token, "another key of at least 32 bytes!!", "my-service"))
expired = C._token_encrypt("x", secret, -10, None)
show("", "_token_decrypt(expired, secret, None)", C._token_decrypt(expired, secret, None))
