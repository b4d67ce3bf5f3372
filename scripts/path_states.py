#!/usr/bin/env python3
"""Prints the library versions and the state of every specialised path
after one call of each of its branches: what CI shows beside the tests."""

import Crypto
import jwt
import rsa

from crypt_main import TarvikCryptMain as C

KEY, IV, KEY8 = "0123456789abcdef", "fedcba9876543210", "01234567"


def warm():
    obj = C()
    for _ in range(3):  # a release newer than those compared verifies three calls
        for name, args in (("_aes_ecb", (KEY,)), ("_aes_cbc", (KEY, IV)), ("_des", (KEY8,))):
            getattr(C, name + "_decrypt")(getattr(C, name + "_encrypt")("warm", *args), *args)
        for flag in (False, True):
            obj._php_decrypt(obj._php_encrypt("warm", KEY, IV, flag), KEY, IV, flag)
        for fmt in (None, "upper", "lower"):
            for digest in ("md5", "sha1", "sha256", "sha384", "sha512"):
                getattr(C, "_%s_encrypt" % digest)("warm", fmt)
            C._md5_hmac_encrypt("warm", "key", fmt)
        pub, pri = C._rsa_keys()
        for hexs in (False, True):
            C._rsa_decrypt(obj._rsa_encrypt("warm", pub, hexs), pri, hexs)
            obj._rsa_encrypt("warm", None, hexs)
        C._rsa_decrypt(obj._rsa_encrypt("warm", pub, True).decode(), pri, True)
        for lifetime in (3600, -100):  # valid, expired, another key's
            token = C._token_encrypt({"warm": 1}, "k" * 32, lifetime, None)
            C._token_decrypt(token, "k" * 32, None)
        C._token_decrypt(token, "w" * 32, None)
        C._base64_decrypt(C._base64_encrypt("warm"))
        C._add_to_16("warm")


warm()
print("pycryptodome %s, rsa %s, PyJWT %s" % (Crypto.__version__, rsa.__version__, jwt.__version__))
for name, method in vars(C).items():
    state = getattr(getattr(method, "__func__", method), "__specialised__", None)
    if state is not None:
        print("  %-20s %s" % (name, " ".join(state)))
