# Wrong uses of crypt_main: mypy must report every line marked "# error".
from typing import Tuple

import rsa

import crypt_main
from crypt_main import TarvikCryptMain as C

obj = C()
key, iv = "0123456789abcdef", "fedcba9876543210"
pub, pri = C._rsa_keys()

C._sha256_encrypt(b"x", None)  # error: bytes are not text here
C._base64_encrypt("x").decode()  # error: the result is str
C._base64_decrypt(b"YWJj")  # error
C._aes_ecb_encrypt("text", key.encode())  # error: keys are text
C._aes_ecb_decrypt("ciphertext", key)  # error: ciphertext is bytes
C._aes_cbc_encrypt("text", key)  # error: missing iv
C._sha1_encrypt(value="x")  # error: missing fmt
C._add_to_16(b"x")  # error
hmac_hex: str = C._md5_hmac_encrypt("v", "k", None)  # error: raw bytes
raw: bytes = obj._php_encrypt("v", key, iv, base64s=True)  # error: Base64 text
text: str = obj._php_encrypt("v", key, iv)  # error: raw bytes
obj._php_decrypt("AAAA", key, iv)  # error: Base64 text needs base64s
obj._php_decrypt(b"AAAA", key, iv, base64s=True)  # error: Base64 comes as text
obj._php_decrypt(b"AAAA", key, iv, bool(iv))  # error: the flag may be true
only: bytes = obj._rsa_encrypt("abc")  # error: a new pair comes back too
triple: Tuple[bytes, rsa.PublicKey, rsa.PrivateKey] = obj._rsa_encrypt("abc", pub)  # error
obj._rsa_encrypt("abc", pri)  # error: a private key cannot encrypt
C._rsa_decrypt("00ff", pri)  # error: hexadecimal text needs hexs
C._rsa_decrypt(b"", pub)  # error: a public key cannot decrypt
C._rsa_keys(256)  # error: takes no arguments
C._token_encrypt({}, "k" * 32, 3600.0, None)  # error: only an int sets the expiry
C._token_decrypt("token", "k" * 32)  # error: missing issuer
crypt_main.hashlib.md6()  # error: the globals are the real modules
crypt_main.AES.new(key.encode(), crypt_main.AES.MODE_ECB).encrypt("text")  # error
C._sha256_encryp("x", None)  # error: no such method
