"""Successful and failing calls give back everything they allocate."""
import gc
import sys

import pytest

import crypt_main

C = crypt_main.TarvikCryptMain
K16, IV = "0123456789abcdef", "fedcba9876543210"
obj = C()

CALLS = {
    "aes_ecb": lambda: C._aes_ecb_decrypt(C._aes_ecb_encrypt("文本" * 9, K16), K16),
    "aes_ecb bad key": lambda: C._aes_ecb_encrypt("v", "short"),
    "aes_ecb bad padding": lambda: C._aes_ecb_decrypt(b"\0" * 32, K16),
    "aes_cbc": lambda: C._aes_cbc_decrypt(C._aes_cbc_encrypt("文本" * 9, K16, IV), K16, IV),
    "aes_cbc bytes iv": lambda: C._aes_cbc_encrypt("v", K16, b"iv"),
    "aes_cbc not utf-8": lambda: C._aes_cbc_encrypt("\udc80", K16, IV),
    "des": lambda: C._des_decrypt(C._des_encrypt("文本" * 9, "12345678"), "12345678"),
    "des ragged": lambda: C._des_decrypt(b"x" * 9, "12345678"),
    "php raw": lambda: obj._php_decrypt(obj._php_encrypt("文本" * 9, K16, IV), K16, IV),
    "php base64": lambda: obj._php_decrypt(obj._php_encrypt("文本\0" * 9, "k" * 20, IV, True), "k" * 20, IV, True),
    "php bad base64": lambda: obj._php_decrypt("AAA", K16, IV, True),
    "php not gbk": lambda: obj._php_encrypt("🚀", K16, IV),
}


def blocks_after(call, n):
    for _ in range(n):
        try:
            call()
        except Exception:
            pass
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.slow
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_no_leak(call):
    blocks_after(call, 200)  # warm caches
    before = blocks_after(call, 0)
    assert blocks_after(call, 3000) - before < 300
