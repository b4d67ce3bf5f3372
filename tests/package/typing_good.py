# Correct use of crypt_main as a type checker sees it: passes `mypy --strict`.
from typing import Any, Optional, Tuple, Union

import rsa
from typing_extensions import assert_type

import crypt_main
from crypt_main import TarvikCryptMain as C

obj = C()
key, iv = "0123456789abcdef", "fedcba9876543210"

assert_type(C._aes_ecb_encrypt("text", key), bytes)
assert_type(C._aes_ecb_decrypt(bytearray(16), key), str)
assert_type(obj._aes_cbc_decrypt(memoryview(C._aes_cbc_encrypt("text", key, iv)), key, iv), str)
assert_type(C._des_decrypt(C._des_encrypt("text", "8bytekey"), "8bytekey"), str)
assert_type(C._base64_decrypt(C._base64_encrypt("text")), str)

assert_type(C._md5_encrypt(b"raw", None), str)
assert_type(C._md5_encrypt("text", "upper"), str)
assert_type(C._md5_hmac_encrypt("text", b"key", "lower"), bytes)
assert_type(C._sha1_encrypt(value="text", fmt=None), str)
assert_type(C._sha512_encrypt("text", 0), str)

assert_type(C._add_to_16("text"), bytes)
assert_type(obj._php_encrypt("text", "secret", iv), bytes)
assert_type(obj._php_encrypt("text", "secret", iv, base64s=True), str)
flag: bool = True
assert_type(obj._php_encrypt("text", "secret", iv, flag), Union[bytes, str])
assert_type(obj._php_decrypt(b"\0" * 16, "secret", iv), str)
assert_type(obj._php_decrypt("AAAA", "secret", iv, True), str)
assert_type(obj._php_decrypt(bytearray(16), "secret", iv, False), str)
assert_type(obj._php_decrypt("AAAA", "secret", iv, flag), str)
assert_type(C._php_encrypt(obj, "text", "secret", iv, False), bytes)

pub, pri = C._rsa_keys()
assert_type(pub, rsa.PublicKey)
assert_type(pri, rsa.PrivateKey)
assert_type(obj._rsa_encrypt("abc", pub), bytes)
assert_type(obj._rsa_encrypt("abc", pub_key=pub, hexs=True), bytes)
assert_type(obj._rsa_encrypt("abc"), Tuple[bytes, rsa.PublicKey, rsa.PrivateKey])
ct, pub2, pri2 = obj._rsa_encrypt("abc", hexs=True)
maybe: Optional[rsa.PublicKey] = None
assert_type(obj._rsa_encrypt("abc", maybe), Union[bytes, Tuple[bytes, rsa.PublicKey, rsa.PrivateKey]])
assert_type(C._rsa_decrypt(ct, pri2, hexs=True), str)
assert_type(C._rsa_decrypt(ct.decode(), pri2, True), str)
assert_type(C._rsa_decrypt(memoryview(ct), pri2), str)

secret = "a shared secret of at least 32 bytes!"
token = C._token_encrypt({"user": 1}, secret, 3600, None)
assert_type(token, str)
assert_type(C._token_encrypt([1, 2], secret.encode(), None, "issuer"), str)
assert_type(C._token_decrypt(token, secret, None), Any)

# The module globals are the library objects themselves.
assert_type(crypt_main.b2a_hex(b"\x01"), bytes)
assert_type(crypt_main.hashlib.sha256(b"").hexdigest(), str)
assert_type(crypt_main.rsa.newkeys(256), Tuple[rsa.PublicKey, rsa.PrivateKey])
