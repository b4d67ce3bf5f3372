import base64
import decimal
import json
import time
import traceback
import types
import warnings

import jwt
import pytest

import crypt_main

KEY = "k" * 32
EXPIRED = "token已过期"
FAILED = "系统异常："


def entry(excinfo):
    """(method, line) of the module's own traceback entry."""
    [f] = [f for f in traceback.extract_tb(excinfo.tb) if f.filename == "crypt_main.py"]
    return f.name.rsplit(".", 1)[1], f.lineno


def claim_order(token):
    part = (token.decode() if isinstance(token, bytes) else token).split(".")[1]
    raw = base64.urlsafe_b64decode(part + "=" * (-len(part) % 4))
    return json.loads(raw, object_pairs_hook=lambda pairs: pairs)


@pytest.fixture
def clock(monkeypatch):
    """Two clock readings, a fraction apart across a whole second."""
    readings = [1700000000.9, 1700000001.2]
    monkeypatch.setattr(crypt_main, "time", types.SimpleNamespace(time=lambda: readings.pop(0)))


def stub_jwt(monkeypatch, error, exceptions=jwt.exceptions):
    def decode(*args, **kwargs):
        raise error
    monkeypatch.setattr(crypt_main, "jwt", types.SimpleNamespace(decode=decode, exceptions=exceptions))


class Undecidable:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("data", [{"a": [1, None], "ü": "€"}, 42, "text", None, EXPIRED])
@pytest.mark.parametrize("exp_time", [None, 3600])
@pytest.mark.parametrize("issued_by, checked_for", [(None, ""), (False, "tarvik"), ("svc", "svc")])
def test_round_trip(C, data, exp_time, issued_by, checked_for):
    token = C._token_encrypt(data, KEY, exp_time, issued_by)
    assert C._token_decrypt(token, KEY, checked_for) == data


@pytest.mark.parametrize("exp_time, exp", [(None, None), (60, 1700000061), (-10, 1699999991),
                                           (True, 1700000002)])
def test_claims_in_order_from_two_clock_readings(C, clock, exp_time, exp):
    expected = [("data", "v"), ("iat", 1700000000), ("iss", "tarvik")] + [("exp", exp)] * (exp is not None)
    assert claim_order(C._token_encrypt("v", KEY, exp_time, None)) == expected


@pytest.mark.parametrize("key", [KEY, b"\x00\xff" * 16, "short"])
def test_token_is_the_librarys_encoding_of_the_claims(C, clock, key):
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        token = C._token_encrypt("v", key, 30, "svc")
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = jwt.encode({"data": "v", "iat": 1700000000, "iss": "svc", "exp": 1700000031},
                              key, algorithm="HS256")
    assert token == expected and type(token) is type(expected)
    assert [w.category for w in ours] == [w.category for w in theirs]


@pytest.mark.parametrize("exp_time, shown", [
    (3600.0, "float"), ("3600", "str"), (decimal.Decimal(3600), "decimal.Decimal")])
def test_lifetime_that_is_not_an_int_is_refused(C, exp_time, shown):
    # Such a lifetime would otherwise give a token that never expires.
    with pytest.raises(TypeError) as e:
        C._token_encrypt("v", KEY, exp_time, None)
    assert str(e.value) == "exp_time must be an int number of seconds or None, not " + shown
    assert entry(e) == ("_token_encrypt", 233)


def hs256(claims, key=KEY, algorithm="HS256"):
    return lambda C: jwt.encode(claims, key, algorithm=algorithm)


@pytest.mark.parametrize("make, key, issuer", [
    (lambda C: C._token_encrypt("v", KEY, -10, None), KEY, None),
    (lambda C: C._token_encrypt("v", KEY, None, "svc"), KEY, None),
    (lambda C: C._token_encrypt("v", KEY, None, None), KEY, "svc"),
    (lambda C: C._token_encrypt("v", KEY, None, None), "w" * 32, None),
    (hs256({"data": 1, "iss": "tarvik"}, "k" * 64, "HS512"), "k" * 64, None),
    (hs256({"data": 1}), KEY, None),
    (hs256({"iss": "tarvik"}), KEY, None),
    (hs256({"data": 1, "iss": "tarvik", "nbf": int(time.time()) + 999}), KEY, None),
    (lambda C: "a.b.c", KEY, None),
    (lambda C: 123, KEY, None),
])
def test_verification_gives_what_the_library_says(C, make, key, issuer):
    token = make(C)
    try:
        expected = jwt.decode(token, key, issuer=issuer or "tarvik", algorithms=["HS256"]).get("data")
    except jwt.exceptions.ExpiredSignatureError:
        expected = EXPIRED
    except Exception as e:
        expected = FAILED + str(e)
    assert C._token_decrypt(token, key, issuer) == expected


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("error, text", [
    (ValueError(""), FAILED),
    (type("Late", (jwt.exceptions.ExpiredSignatureError,), {})(), EXPIRED),
    (Interrupt("stop"), None),
    (KeyboardInterrupt(), None),
])
def test_only_exceptions_become_strings(C, monkeypatch, error, text):
    stub_jwt(monkeypatch, error)
    if text is not None:
        assert C._token_decrypt("t", KEY, None) == text
        return
    with pytest.raises(type(error)) as e:
        C._token_decrypt("t", KEY, None)
    assert e.value is error and entry(e) == ("_token_decrypt", 239)


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("cannot say")


@pytest.mark.parametrize("error, exceptions, raised, line", [
    (ValueError("bad"), types.SimpleNamespace(), AttributeError, 241),
    (Unprintable(), jwt.exceptions, RuntimeError, 244),
])
def test_failed_classification_replaces_the_error(C, monkeypatch, error, exceptions, raised, line):
    stub_jwt(monkeypatch, error, exceptions)
    with pytest.raises(raised) as e:
        C._token_decrypt("t", KEY, None)
    assert e.value.__context__ is error and entry(e) == ("_token_decrypt", line)


class Refusing(int):
    def __radd__(self, other):
        raise ArithmeticError("no sum")


@pytest.mark.parametrize("call, error, line", [
    (lambda C: C._token_encrypt("v", KEY, None, Undecidable()), ZeroDivisionError, 228),
    (lambda C: C._token_encrypt("v", KEY, Refusing(5), None), ArithmeticError, 231),
    (lambda C: C._token_decrypt("t", KEY, Undecidable()), ZeroDivisionError, 237),
])
def test_errors_outside_verification_propagate(C, call, error, line):
    with pytest.raises(error) as e:
        call(C)
    assert entry(e)[1] == line


@pytest.mark.parametrize("data, key, issuer", [(object(), KEY, None), ("v", 123, None), ("v", KEY, 7)])
def test_library_decides_on_data_key_and_issuer(C, clock, data, key, issuer):
    try:
        expected = jwt.encode({"data": data, "iat": 1700000000, "iss": issuer or "tarvik"}, key,
                              algorithm="HS256")
    except Exception as error:
        with pytest.raises(type(error)) as e:
            C._token_encrypt(data, key, None, issuer)
        assert str(e.value) == str(error) and entry(e) == ("_token_encrypt", 234)
    else:  # older libraries take any issuer
        assert C._token_encrypt(data, key, None, issuer) == expected
