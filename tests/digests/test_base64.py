"""Base64 text: one line of the standard alphabet, and back."""

import base64
import binascii
import shutil
import subprocess
import traceback

import pytest
from hypothesis import given, strategies as st

import crypt_main

C = crypt_main.TarvikCryptMain

RFC4648 = [("", ""), ("f", "Zg=="), ("fo", "Zm8="), ("foo", "Zm9v"), ("foob", "Zm9vYg=="),
           ("fooba", "Zm9vYmE="), ("foobar", "Zm9vYmFy")]
TEXTS = ["abc", "\u00e9", "a" * 57, "a" * 58, "x" * 1000, "\u4e2d\u6587 \U0001f600 \x00\n"]


@pytest.mark.parametrize("text, encoded", RFC4648 + [
    ("abc", "YWJj"), ("\u00e9", "w6k="),
    ("a" * 57, "YWFh" * 19),  # the library's full line of 76
    ("a" * 58, "YWFh" * 19 + "YQ=="),  # one line still, where the library breaks it
])
def test_vectors(text, encoded):
    assert C._base64_encrypt(text) == encoded
    assert C._base64_decrypt(encoded) == text


@given(st.text())
def test_round_trip(text):
    encoded = C._base64_encrypt(text)
    assert encoded == base64.b64encode(text.encode()).decode()
    assert C._base64_decrypt(encoded) == text


@pytest.mark.parametrize("encoded, text", [
    (base64.encodebytes(b"b" * 100).decode(), "b" * 100),  # the library's line breaks
    ("YW Jj", "abc"),  # characters outside the alphabet are skipped
    ("YW\r\nJj\n", "abc"),
])
def test_decoding_skips_what_is_not_base64(encoded, text):
    assert C._base64_decrypt(encoded) == text


@pytest.mark.parametrize("method, value, error", [
    ("_base64_decrypt", "YWJ", binascii.Error),
    ("_base64_decrypt", "/w==", UnicodeDecodeError),
    ("_base64_decrypt", b"YWJj", AttributeError),
    ("_base64_encrypt", b"abc", AttributeError),
    ("_base64_encrypt", None, AttributeError),
    ("_base64_encrypt", "\ud800", UnicodeEncodeError),
    ("_base64_decrypt", "\udfff", UnicodeEncodeError),
])
def test_failures_report_the_body_line(method, value, error):
    with pytest.raises(error) as info:
        getattr(C, method)(value)
    lines = [f.lineno for f in traceback.extract_tb(info.tb) if f.name == "crypt_main.TarvikCryptMain." + method]
    assert lines == [80 if method == "_base64_encrypt" else 85]


class Text:
    """Not a str, but with an encode method that records how it is called."""

    def __init__(self, data):
        self.data, self.calls = data, []

    def encode(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.data


def test_encode_calls_of_other_objects():
    value = Text(b"abc")
    assert C._base64_encrypt(value) == "YWJj" and value.calls == [((), {})]
    value = Text(b"YWJj")
    assert C._base64_decrypt(value) == "abc" and value.calls == [((), {"encoding": "utf-8"})]


@pytest.mark.peer
@pytest.mark.parametrize("text", TEXTS)
def test_agrees_with_openssl(text):
    if not shutil.which("openssl"):
        pytest.skip("openssl is not installed")
    encoded = subprocess.run(["openssl", "base64", "-A"], input=text.encode(), stdout=subprocess.PIPE,
                             check=True).stdout.decode()
    assert C._base64_encrypt(text) == encoded
    assert C._base64_decrypt(encoded) == text
