import binascii
import re
import traceback
import types

import pytest
import rsa

import crypt_main

PAIR = rsa.newkeys(256)
OTHER = rsa.newkeys(256)[1]
CT = rsa.encrypt(b"abc", PAIR[0])


def entry(excinfo):
    """(method, line) of the module's own traceback entry."""
    [f] = [f for f in traceback.extract_tb(excinfo.tb) if f.filename == "crypt_main.py"]
    return f.name.rsplit(".", 1)[1], f.lineno


class Undecidable:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def with_keys(result):
    class Sub(crypt_main.TarvikCryptMain):
        @staticmethod
        def _rsa_keys():
            return result()
    return Sub()


@pytest.mark.parametrize("text", ["abc", "", "ä€𝄞", "x" * 21, "汉" * 7])
@pytest.mark.parametrize("hexs", [False, True])
def test_generated_pair_round_trip(C, obj, text, hexs):
    ct, pub, pri = obj._rsa_encrypt(text, hexs=hexs)
    assert pub.n == pri.n and pri.n.bit_length() == 256
    assert type(ct) is bytes and len(ct) == (64 if hexs else 32)
    assert not hexs or ct == ct.lower()
    assert C._rsa_decrypt(ct, pri, hexs) == text
    assert not hexs or C._rsa_decrypt(ct.decode().upper(), pri, 1) == text


@pytest.mark.parametrize("no_key", [None, False, 0, ""])
def test_given_key_gives_bare_ciphertext_else_a_new_pair(C, obj, no_key):
    a, b = obj._rsa_encrypt("same", PAIR[0]), obj._rsa_encrypt("same", PAIR[0])
    assert a != b and len(a) == 32 and C._rsa_decrypt(a, PAIR[1]) == C._rsa_decrypt(b, PAIR[1])
    first, second = obj._rsa_encrypt("v", no_key), obj._rsa_encrypt("v", no_key)
    assert len(first) == 3 and first[1] != second[1]


@pytest.mark.parametrize("keys", [lambda: list(PAIR), lambda: (k for k in PAIR)])
def test_rsa_keys_override_supplies_the_pair(C, keys):
    ct, pub, pri = with_keys(keys)._rsa_encrypt("abc")
    assert (pub, pri) == PAIR and C._rsa_decrypt(ct, pri) == "abc"
    # a false private key means no pair was generated: bare ciphertext
    assert len(with_keys(lambda: (PAIR[0], 0))._rsa_encrypt("abc")) == 32


def unpacked_in_python(value):
    """The running interpreter's own error for `pub_key, pri_key = value`."""
    try:
        pub_key, pri_key = value
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("unpacked")


@pytest.mark.parametrize("keys", [
    lambda: ("only",), lambda: [], lambda: (1, 2, 3), lambda: [1, 2, 3], lambda: iter("abc"), lambda: iter([1]),
    lambda: 5, lambda: None,
], ids=["tuple of 1", "empty list", "tuple of 3", "list of 3", "iterator of 3", "iterator of 1", "int", "None"])
def test_rsa_keys_override_must_give_two_values(keys):
    error, message = unpacked_in_python(keys())
    with pytest.raises(error) as e:
        with_keys(keys)._rsa_encrypt("abc")
    assert str(e.value) == message
    assert entry(e) == ("_rsa_encrypt", 164)


def test_error_while_unpacking_propagates(C, monkeypatch):
    def keys():
        yield from PAIR
        raise KeyError("third")
    with pytest.raises(KeyError) as e:
        with_keys(keys)._rsa_encrypt("abc")
    # the generator's own frame is in the traceback, and nothing between it and the method
    names = [t.name for t in traceback.extract_tb(e.tb)]
    assert names[-2:] == ["crypt_main.TarvikCryptMain._rsa_encrypt", "keys"]
    monkeypatch.setattr(crypt_main, "rsa", types.SimpleNamespace(newkeys=lambda bits: [bits]))
    error, message = unpacked_in_python([256])
    with pytest.raises(error) as e:
        C._rsa_keys()
    assert str(e.value) == message
    assert entry(e) == ("_rsa_keys", 157)


@pytest.mark.parametrize("call, error, line", [
    (lambda o: o._rsa_encrypt("x" * 22), OverflowError, 165),
    (lambda o: o._rsa_encrypt("汉" * 8), OverflowError, 165),
    (lambda o: o._rsa_encrypt(b"abc", PAIR[0]), AttributeError, 165),
    (lambda o: o._rsa_encrypt("\ud800", PAIR[0]), UnicodeEncodeError, 165),
    (lambda o: o._rsa_encrypt("abc", Undecidable()), ZeroDivisionError, 161),
    (lambda o: o._rsa_encrypt("abc", PAIR[0], Undecidable()), ZeroDivisionError, 166),
    (lambda o: with_keys(lambda: (PAIR[0], Undecidable()))._rsa_encrypt("abc"), ZeroDivisionError, 167),
])
def test_encrypt_failures(obj, call, error, line):
    with pytest.raises(error) as e:
        call(obj)
    assert entry(e) == ("_rsa_encrypt", line)


@pytest.mark.parametrize("args, reference, line", [
    ((b"abc", PAIR[1], True), lambda: binascii.a2b_hex(b"abc"), 171),
    (("zz" * 32, PAIR[1], True), lambda: binascii.a2b_hex("zz" * 32), 171),
    ((CT, OTHER), lambda: rsa.decrypt(CT, OTHER), 172),
    ((CT[:-1], PAIR[1]), lambda: rsa.decrypt(CT[:-1], PAIR[1]), 172),
    ((CT.hex().encode(), PAIR[1]), lambda: rsa.decrypt(CT.hex().encode(), PAIR[1]), 172),
    ((rsa.encrypt(b"\xff", PAIR[0]), PAIR[1]), lambda: b"\xff".decode(), 172),
])
def test_decrypt_failures_pass_through(C, args, reference, line):
    with pytest.raises(Exception) as expected:
        reference()
    with pytest.raises(type(expected.value), match="^%s$" % re.escape(str(expected.value))) as e:
        C._rsa_decrypt(*args)
    assert entry(e) == ("_rsa_decrypt", line)

