"""Zero-padded GBK AES-CBC for PHP peers, and the zero padding itself."""
import base64
import binascii

import pytest
from Crypto.Cipher import AES
from hypothesis import given, settings, strategies as st

import crypt_main

C = crypt_main.TarvikCryptMain
KEY, IV = "0123456789abcdef", "fedcba9876543210"


@pytest.mark.parametrize("text, expected", [
    ("abc", b"abc" + b"\0" * 13),
    ("", b""),
    ("p" * 16, b"p" * 16),
    ("p" * 17, b"p" * 17 + b"\0" * 15),
    ("中", b"\xd6\xd0" + b"\0" * 14),
    ("中文" * 4, "中文".encode("gbk") * 4),  # 16 GBK bytes, though 24 in UTF-8
])
def test_add_to_16(text, expected):
    assert C._add_to_16(text) == expected and type(C._add_to_16(text)) is bytes


def python_add_to_16(value):
    value = value.encode("gbk")
    while len(value) % 16 != 0:
        value += "\0".encode()
    return value


def outcome(call, *args):
    try:
        return "result", call(*args)
    except Exception as e:
        return "raised", type(e), e.args  # a codec error's args: encoding, object, start, end, reason


@settings(max_examples=100, deadline=None)
@given(st.text(st.one_of(st.characters(max_codepoint=127), st.sampled_from("中文字€é\u00ff\U0001f600\ud800\u3000")),
               max_size=40))
def test_add_to_16_as_python(value):
    C._add_to_16("中")
    assert C._add_to_16.__specialised__ == ("enabled",)
    assert outcome(C._add_to_16, value) == outcome(python_add_to_16, value)


def test_add_to_16_large_text():
    text = "中" * (8 << 20) + "x"  # 16 MiB + 1 in GBK
    padded = C._add_to_16(text)
    assert len(padded) == (16 << 20) + 16 and padded[-16:] == b"x" + b"\0" * 15 and padded[:4] == b"\xd6\xd0" * 2


class Encoded(str):
    """A text whose encode returns whatever it was given."""

    def __new__(cls, result):
        self = super().__new__(cls, "ignored")
        self.result = result
        return self

    def encode(self, *args):
        return self.result


@pytest.mark.parametrize("encoded, expected", [
    (bytearray(b"abc"), bytearray(b"abc" + b"\0" * 13)),  # `+=` grows it in place, as a bytearray
    (type("B", (bytes,), {})(b"abc"), b"abc" + b"\0" * 13),
], ids=["bytearray", "bytes subclass"])
def test_add_to_16_appends_to_what_encode_returned(encoded, expected):
    result = C._add_to_16(Encoded(encoded))
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value, exc, line", [
    ("🚀", UnicodeEncodeError, 150),
    (b"abc", AttributeError, 150),
    (Encoded(42), TypeError, 151),
    (Encoded(("a",)), TypeError, 152),
], ids=["not gbk", "bytes", "no len", "no append"])
def test_add_to_16_failures(entries, value, exc, line):
    with pytest.raises(exc) as excinfo:
        C._add_to_16(value)
    assert entries(excinfo) == [("crypt_main.TarvikCryptMain._add_to_16", line)]


@pytest.mark.parametrize("key", [KEY, "k" * 20, "k" * 32, "密钥abcdefghijkl", "中" * 16])
@pytest.mark.parametrize("text, size", [("", 0), ("hello", 16), ("中文" * 4, 16), ("中文" * 4 + "x", 32),
                                        ("中文测试，GBK 文本。" * 7, 144), ("inner\0nul", 16)])
@pytest.mark.parametrize("base64s", [False, True, 1, None])
def test_round_trip(obj, key, text, size, base64s):
    ciphertext = obj._php_encrypt(text, key, IV, base64s)
    assert type(ciphertext) is (str if base64s else bytes)
    assert len(base64.b64decode(ciphertext) if base64s else ciphertext) == size  # no block added
    assert obj._php_decrypt(ciphertext, key, IV, base64s) == text
    assert obj._php_encrypt(text, key, IV, base64s) == ciphertext


def test_trailing_nuls_are_stripped_and_base64_is_one_line(obj):
    assert obj._php_decrypt(obj._php_encrypt("a\0b\0\0", KEY, IV), KEY, IV) == "a\0b"
    text = obj._php_encrypt("x" * 64, KEY, IV, base64s=True)
    assert len(text) == 88 and "\n" not in text
    assert obj._php_decrypt(text[:40] + "\n" + text[40:] + "\n", KEY, IV, True) == "x" * 64


def test_add_to_16_is_reached_through_self(obj):
    calls = []

    class Sub(C):
        def _add_to_16(self, value):
            calls.append(value)
            return C._add_to_16(value)

    sub = Sub()
    ciphertext = sub._php_encrypt("text", KEY, IV)
    assert calls == [KEY, "text"] and ciphertext == obj._php_encrypt("text", KEY, IV)
    assert sub._php_decrypt(ciphertext, KEY, IV) == "text" and calls[2:] == [KEY]
    obj._add_to_16 = lambda value: b"k" * 16  # an instance attribute is an override too
    assert obj._php_decrypt(C._aes_cbc_encrypt("t", "k" * 16, IV), "ignored", IV) == "t" + "\x0f" * 15


def test_steps_in_order(spy):
    spy.wrap_global("AES")
    spy.wrap_global("base64")
    log = spy.log

    class Sub(C):
        def _add_to_16(self, value):
            log.append(f"_add_to_16({value})")
            return C._add_to_16(value)

    ciphertext = Sub()._php_encrypt(spy.text("value", "value"), spy.text("key", KEY), spy.text("iv", IV), True)
    cryptor = ["AES.new", f"_add_to_16({KEY})", "key.encode('gbk',)", "AES.MODE_CBC", "iv.encode('utf-8',)", "AES.new()"]
    assert log == cryptor + ["cryptor.encrypt", "_add_to_16(value)", "value.encode('gbk',)", "cryptor.encrypt()",
                             "base64.encodebytes", "base64.encodebytes()"]
    del log[:]
    Sub()._php_decrypt(spy.text("value", ciphertext), spy.text("key", KEY), spy.text("iv", IV), True)
    assert log == cryptor + ["base64.decodebytes", "value.encode()", "base64.decodebytes()",
                             "cryptor.decrypt", "cryptor.decrypt()"]


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("truth")


GOOD = C()._php_encrypt("中文", KEY, IV)


@pytest.mark.parametrize("method, args, exc, line", [
    # building the cipher: key, then IV, then AES.new
    ("encrypt", ("v", b"k" * 16, IV), AttributeError, 134),
    ("encrypt", ("v", "🚀", b"iv"), UnicodeEncodeError, 134),
    ("encrypt", ("v", "", IV), ValueError, 134),
    ("encrypt", ("v", "k" * 33, IV), ValueError, 134),
    ("encrypt", ("v", KEY, b"i" * 16), AttributeError, 134),
    ("encrypt", ("v", KEY, "\udc80" * 16), UnicodeEncodeError, 134),
    ("encrypt", ("v", KEY, "é" + "i" * 15), ValueError, 134),
    ("decrypt", (GOOD, "", "short", Falsy()), ValueError, 141),
    # the text
    ("encrypt", (b"v", KEY, IV), AttributeError, 135),
    ("encrypt", ("🚀", KEY, IV), UnicodeEncodeError, 135),
    ("encrypt", ("v", KEY, IV, Falsy()), ZeroDivisionError, 136),
    ("decrypt", (GOOD, KEY, IV, Falsy()), ZeroDivisionError, 142),
    ("decrypt", (GOOD, KEY, IV, True), AttributeError, 143),
    ("decrypt", ("AAA", KEY, IV, True), binascii.Error, 143),
    ("decrypt", (GOOD + b"x", KEY, IV), ValueError, 144),
    ("decrypt", ("text", KEY, IV), TypeError, 144),
    ("decrypt", (AES.new(KEY.encode(), AES.MODE_CBC, IV.encode()).encrypt(b"\xff" * 16), KEY, IV),
     UnicodeDecodeError, 144),
])
def test_failures(obj, entries, method, args, exc, line):
    with pytest.raises(exc) as excinfo:
        getattr(obj, f"_php_{method}")(*args)
    found = entries(excinfo)
    assert found[0] == (f"crypt_main.TarvikCryptMain._php_{method}", line)
    assert found[1:] in ([], [("crypt_main.TarvikCryptMain._add_to_16", 150)])



@pytest.mark.parametrize("rebinds", [False, True])
def test_a_key_of_self_that_runs_code(obj, monkeypatch, rebinds):
    """A key in self's dict whose __eq__ runs when self._add_to_16 is looked
    up: it runs as often as in Python, and what it rebinds is seen."""
    def python():
        cryptor = crypt_main.AES.new(obj._add_to_16(KEY), crypt_main.AES.MODE_CBC, IV.encode("utf-8"))
        return cryptor.encrypt(obj._add_to_16("text"))

    calls, armed = [], []

    class Key(str):
        def __hash__(self):
            return hash("_add_to_16")

        def __eq__(self, other):
            if armed:  # (3.14 compares it already when it goes into the dict)
                calls.append(other)
                if rebinds:
                    monkeypatch.setattr(crypt_main, "AES", None)
            return False

    def run(call):
        del calls[:]
        armed.append(True)
        try:
            result = call()
        except Exception as e:
            result = type(e), str(e)
        del armed[:]
        monkeypatch.undo()
        return result, len(calls)

    for _ in range(10):  # a stale branch verifies again at its next call
        obj._php_encrypt("text", KEY, IV)
        if C._php_encrypt.__specialised__[0] == "enabled":
            break
    assert C._php_encrypt.__specialised__[0] == "enabled"
    obj.__dict__[Key("other")] = 1
    (result, compared), (expected, python_compared) = run(lambda: obj._php_encrypt("text", KEY, IV)), run(python)
    # (how often a look-up compares a colliding key is the interpreter's
    # business: 3.14's method load compares it twice, getattr once)
    assert result == expected and compared >= 1 and python_compared >= 1
