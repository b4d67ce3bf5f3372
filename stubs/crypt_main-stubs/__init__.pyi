# Type information for the extension module crypt_main.
#
# Installed by the wheel as the stub-only package `crypt_main-stubs`, beside
# the shared object, so that mypy, pyright and editors find it for
# `import crypt_main`. Written with the `typing` forms (Union, Optional,
# Tuple) so that every checker on every supported interpreter reads it.

import base64 as base64
import hashlib as hashlib
import hmac as hmac
import time as time
from binascii import a2b_hex as a2b_hex
from binascii import b2a_hex as b2a_hex
from typing import Any, Optional, Tuple, Union, overload

import jwt as jwt
import rsa as rsa
from Crypto.Cipher import AES as AES
from Crypto.Cipher import DES as DES
from Crypto.Util.Padding import pad as pad
from Crypto.Util.Padding import unpad as unpad
from typing_extensions import Literal

# Ciphertext accepted by the block-cipher decryptions.
_Buffer = Union[bytes, bytearray, memoryview]
# Messages and keys of the MD5 digests: text (hashed as UTF-8) or bytes.
_Message = Union[str, bytes]
# An HS256 secret.
_Secret = Union[str, bytes]

class TarvikCryptMain:
    def __init__(self) -> None: ...

    # ---- AES-ECB, AES-CBC and DES-ECB: UTF-8 text in, raw bytes out
    @staticmethod
    def _aes_ecb_encrypt(value: str, key: str) -> bytes: ...
    @staticmethod
    def _aes_ecb_decrypt(value: _Buffer, key: str) -> str: ...
    @staticmethod
    def _aes_cbc_encrypt(value: str, key: str, iv: str) -> bytes: ...
    @staticmethod
    def _aes_cbc_decrypt(value: _Buffer, key: str, iv: str) -> str: ...

    # ---- Base64 text, on one line
    @staticmethod
    def _base64_encrypt(value: str) -> str: ...
    @staticmethod
    def _base64_decrypt(value: str) -> str: ...

    @staticmethod
    def _des_encrypt(value: str, key: str) -> bytes: ...
    @staticmethod
    def _des_decrypt(value: _Buffer, key: str) -> str: ...

    # ---- MD5: hexadecimal text; HMAC-MD5: the raw 16 bytes.
    # `fmt` is compared with "upper" and "lower"; anything else keeps the case.
    @staticmethod
    def _md5_encrypt(value: _Message, fmt: object) -> str: ...
    @staticmethod
    def _md5_hmac_encrypt(value: _Message, key: _Message, fmt: object) -> bytes: ...

    # ---- AES-CBC with zero padding and GBK text, for PHP peers.
    # Raw bytes out, or one line of Base64 text when `base64s` is true.
    @overload
    def _php_encrypt(self, value: str, key: str, iv: str, base64s: Literal[False] = False) -> bytes: ...
    @overload
    def _php_encrypt(self, value: str, key: str, iv: str, base64s: Literal[True]) -> str: ...
    @overload
    def _php_encrypt(self, value: str, key: str, iv: str, base64s: object = False) -> Union[bytes, str]: ...
    # Raw bytes in, or Base64 text (a str; line breaks allowed) when `base64s` is
    # true: bytes with a flag that may be true are refused, as the call would be.
    @overload
    def _php_decrypt(self, value: _Buffer, key: str, iv: str, base64s: Literal[False] = False) -> str: ...
    @overload
    def _php_decrypt(self, value: str, key: str, iv: str, base64s: object) -> str: ...
    @staticmethod
    def _add_to_16(value: str) -> bytes: ...

    # ---- RSA with 256-bit keys, PKCS#1 v1.5
    @staticmethod
    def _rsa_keys() -> Tuple[rsa.PublicKey, rsa.PrivateKey]: ...
    # With a public key: the ciphertext alone. Without one, a new pair is made
    # and returned with the ciphertext: (ciphertext, public key, private key).
    # Hexadecimal ciphertext is bytes as well.
    @overload
    def _rsa_encrypt(self, value: str, pub_key: rsa.PublicKey, hexs: object = False) -> bytes: ...
    @overload
    def _rsa_encrypt(
        self, value: str, pub_key: None = None, hexs: object = False
    ) -> Tuple[bytes, rsa.PublicKey, rsa.PrivateKey]: ...
    @overload
    def _rsa_encrypt(
        self, value: str, pub_key: Optional[rsa.PublicKey] = None, hexs: object = False
    ) -> Union[bytes, Tuple[bytes, rsa.PublicKey, rsa.PrivateKey]]: ...
    # Raw ciphertext is bytes-like; hexadecimal ciphertext (`hexs` true) may be str.
    @overload
    @staticmethod
    def _rsa_decrypt(value: _Buffer, pri_key: rsa.PrivateKey, hexs: object = False) -> str: ...
    @overload
    @staticmethod
    def _rsa_decrypt(value: Union[_Buffer, str], pri_key: rsa.PrivateKey, hexs: object) -> str: ...

    # ---- SHA family: hexadecimal text, `fmt` as for MD5
    @staticmethod
    def _sha1_encrypt(value: str, fmt: object) -> str: ...
    @staticmethod
    def _sha256_encrypt(value: str, fmt: object) -> str: ...
    @staticmethod
    def _sha384_encrypt(value: str, fmt: object) -> str: ...
    @staticmethod
    def _sha512_encrypt(value: str, fmt: object) -> str: ...

    # ---- HS256 tokens. Only an int `exp_time` (seconds) sets an expiry; a
    # false `issuer` means the default issuer.
    @staticmethod
    def _token_encrypt(data: Any, key: _Secret, exp_time: Optional[int], issuer: Optional[str]) -> str: ...
    # The "data" claim, or a message string when verification fails.
    @staticmethod
    def _token_decrypt(token: Union[str, bytes], key: _Secret, issuer: Optional[str]) -> Any: ...
