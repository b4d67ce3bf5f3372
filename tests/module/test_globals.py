"""Module globals: bound at import in order, read again at every call."""

import base64
import binascii
import builtins
import hashlib
import hmac
import subprocess
import sys
import time
import traceback

import jwt
import pytest
import rsa
from Crypto.Cipher import AES, DES
from Crypto.Util.Padding import pad, unpad

import crypt_main

C = crypt_main.TarvikCryptMain


class Codec:
    """Stands in for the base64 module and records what it is given."""

    def __init__(self):
        self.seen = []

    def encodebytes(self, data):
        self.seen.append(data)
        return b"QU\nJD\n"

    def decodebytes(self, data):
        self.seen.append(data)
        return b"from stub"


def test_bound_in_order():
    expected = dict(base64=base64, hashlib=hashlib, hmac=hmac, time=time, a2b_hex=binascii.a2b_hex,
                    b2a_hex=binascii.b2a_hex, jwt=jwt, rsa=rsa, AES=AES, DES=DES, pad=pad, unpad=unpad)
    # other tests rebind globals, which moves them in this process's dict
    fresh = subprocess.run([sys.executable, "-c", "import crypt_main; print(' '.join(crypt_main.__dict__))"],
                           capture_output=True, text=True, check=True).stdout.split()
    assert [k for k in fresh if not k.startswith("__")] == list(expected) + ["TarvikCryptMain"]
    ns = crypt_main.__dict__
    assert all(ns[k] is v for k, v in expected.items())
    assert ns["__builtins__"] is builtins


def test_rebound_global_is_called(monkeypatch):
    codec = Codec()
    monkeypatch.setattr(crypt_main, "base64", codec)
    assert C._base64_encrypt("abc") == "QUJD"
    assert C._base64_decrypt("YWJj") == "from stub"
    assert codec.seen == [b"abc", b"YWJj"]
    monkeypatch.undo()
    assert C._base64_encrypt("abc") == "YWJj"


@pytest.mark.parametrize("method, line, text, result", [
    ("_base64_encrypt", 80, "abc", "YWJj"),
    ("_base64_decrypt", 85, "YWJj", "abc"),
])
def test_deleted_global(monkeypatch, method, line, text, result):
    f = getattr(C, method)
    monkeypatch.delattr(crypt_main, "base64")
    # the global is read before the argument is looked at
    with pytest.raises(NameError) as info:
        f(b"not text")
    assert str(info.value) == "name 'base64' is not defined"
    entry = traceback.extract_tb(info.tb)[-1]
    assert (entry.filename, entry.lineno, entry.name) == ("crypt_main.py", line, "crypt_main.TarvikCryptMain." + method)

    codec = Codec()  # a builtin of that name is the fallback
    monkeypatch.setattr(builtins, "base64", codec, raising=False)
    f(text)
    assert codec.seen == [text.encode()]

    monkeypatch.setattr(crypt_main, "base64", base64, raising=False)  # the module's own comes first
    assert f(text) == result
    assert codec.seen == [text.encode()]
