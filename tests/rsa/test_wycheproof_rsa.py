"""Wycheproof's RSAES-PKCS1-v1_5 decryption vectors (2048, 3072 and 4096-bit
keys) through _rsa_decrypt: raw, as hexadecimal bytes and as upper-case
hexadecimal str, each with the result or exception and the key's blinding
state afterwards that python-rsa gives; and the valid ones computed by the
specialised branch, which runs none of the library's functions."""

import binascii
import json
import os
import sys

import pytest
import rsa
import rsa.pkcs1

import crypt_main

C = crypt_main.TarvikCryptMain
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VECTORS = os.path.join(ROOT, "tests", "vectors", "wycheproof")
RSA_DIR = os.path.dirname(rsa.__file__)
CONSTRUCTION = ("__init__", "__setstate__", "inverse", "extended_gcd")

pytestmark = pytest.mark.skipif(rsa.__version__ not in ("4.9", "4.9.1"), reason="a release the paths do not follow")

FORMS = [  # (value, hexs) from the ciphertext's bytes
    lambda ct: (ct, False),
    lambda ct: (binascii.b2a_hex(ct), True),
    lambda ct: (binascii.b2a_hex(ct).decode().upper(), True),
]


def groups(bits):
    path = os.path.join(VECTORS, "rsa_pkcs1_%d_test.json" % bits)
    if not os.path.exists(path):
        pytest.skip("no Wycheproof vectors at " + VECTORS)
    with open(path) as f:
        return json.load(f)["testGroups"]


def key_of(group):
    numbers = group["privateKey"]
    n, e, d, p, q = (int(numbers[name], 16) for name in ("modulus", "publicExponent", "privateExponent", "prime1",
                                                        "prime2"))
    return rsa.PrivateKey(n, e, d, p, q)


def outcome(call, *args):
    try:
        return "result", call(*args)
    except Exception as e:
        return type(e), str(e)


def library(value, key, hexs):
    return rsa.decrypt(binascii.a2b_hex(value) if hexs else value, key).decode()


class LibraryCalls:
    """The rsa package's Python functions that run while it is on (but the
    key classes' constructors)."""

    def __init__(self):
        self.names = []

    def profile(self, frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(RSA_DIR) and frame.f_code.co_name not in CONSTRUCTION:
            self.names.append(frame.f_code.co_name)

    def run(self, call, *args):
        self.names.clear()
        sys.setprofile(self.profile)
        try:
            return outcome(call, *args)
        finally:
            sys.setprofile(None)


def check_group(group, calls):
    key, twin = key_of(group), key_of(group)
    for number, test in enumerate(group["tests"]):
        ct = binascii.a2b_hex(test["ct"])
        for form in FORMS:
            value, hexs = form(ct)
            got = calls.run(C._rsa_decrypt, value, key, hexs)
            expected = outcome(library, value, twin, hexs)
            assert got == expected, (test["tcId"], hexs)
            if got[0] == "result" and (number or form is not FORMS[0]):  # (a key's first use: its own test)
                assert not calls.names, test["tcId"]  # the specialised branch's own
            if twin.blindfac != key.blindfac and number == 0 and form is FORMS[0]:
                # the first use drew each key's factor: its own draw, the same kind
                assert key.blindfac * key.blindfac_inverse % key.n == 1 and 0 < key.blindfac < key.n
                twin.blindfac, twin.blindfac_inverse = key.blindfac, key.blindfac_inverse
            assert (key.blindfac, key.blindfac_inverse) == (twin.blindfac, twin.blindfac_inverse), test["tcId"]


@pytest.fixture(scope="module")
def enabled():
    """Every branch enabled first (a branch's first calls run the generic
    path too), on a key of the size at hand."""
    def enable(group):
        key = key_of(group)
        pub = rsa.PublicKey(key.n, key.e)
        rsa.decrypt(rsa.encrypt(b"", pub), key)  # a key in use
        for branch, form in enumerate(FORMS):
            for _ in range(10):  # a stale branch verifies again at its next call
                value, hexs = form(rsa.encrypt(b"enable", pub))
                assert C._rsa_decrypt(value, key, hexs) == "enable"
                if C._rsa_decrypt.__specialised__[branch] == "enabled":
                    break
        assert C._rsa_decrypt.__specialised__ == ("enabled",) * 3
    return enable


@pytest.mark.parametrize("bits", [
    2048, pytest.param(3072, marks=pytest.mark.slow), pytest.param(4096, marks=pytest.mark.slow)])
def test_every_vector_agrees_with_the_library(enabled, bits):
    chosen = groups(bits)
    enabled(chosen[0])
    calls = LibraryCalls()
    for group in chosen:
        check_group(group, calls)
