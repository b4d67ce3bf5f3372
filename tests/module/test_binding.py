"""Argument binding of every method, against the model in method_table."""

import itertools
import sys
import traceback

import pytest

import crypt_main
from method_table import METHODS, binding_error, param_names

C = crypt_main.TarvikCryptMain


def _interpreter_passes_non_str_keywords():
    try:
        C._rsa_keys(**{1: 2})
    except TypeError as e:
        return str(e) != "keywords must be strings"


NON_STR_KEYWORDS = _interpreter_passes_non_str_keywords()


def entries(exc, name):
    return [(f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.name == "crypt_main.TarvikCryptMain." + name]


def call_shapes(m, offset):
    """(positional count, keyword names in call order) of calls worth making:
    up to one argument too many, every subset of the parameters plus unknown
    names as keywords, each in two orders."""
    params = param_names(m)
    pool = params + ["x"] + ([1] if NON_STR_KEYWORDS else [])
    for k in range(len(params) + 2 - offset):
        for size in range(len(pool) + 1):
            for names in itertools.combinations(pool, size):
                for order in {names, names[::-1]}:
                    yield k, order


def mismatches(m, f, offset):
    """Calls of `f` whose outcome differs from the model; `offset` is 1 when
    the instance is passed implicitly."""
    found = []
    for k, names in call_shapes(m, offset):
        args = ["arg%d" % i for i in range(k)]
        kwargs = {n: "kw" for n in names}
        expected = binding_error(m, k + offset, names)
        try:
            f(*args, **kwargs)
            exc = None
        except Exception as e:
            exc = e
        if expected is None:
            # bound: the body ran, so any failure comes from a later line
            ok = exc is None or all(line != m.line for _, line in entries(exc, m.name))
        else:
            ok = (type(exc) is TypeError and str(exc) == expected
                  and entries(exc, m.name) == [("crypt_main.py", m.line)])
        if not ok:
            found.append((k, names, expected, repr(exc)))
    return found


@pytest.mark.parametrize("m", METHODS, ids=lambda m: m.name)
def test_class_path_follows_the_model(m):
    assert mismatches(m, getattr(C, m.name), 0)[:5] == []


@pytest.mark.parametrize("m", METHODS, ids=lambda m: m.name)
def test_instance_path_follows_the_model(m):
    # static methods bind the same through an instance; instance methods
    # receive the instance as the first positional argument, which counts
    assert mismatches(m, getattr(C(), m.name), 0 if m.static else 1)[:5] == []


@pytest.mark.parametrize("call, message", [
    (lambda: C(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: C(x=1), "__init__() got an unexpected keyword argument 'x'"),
    (lambda: C(self=1), "__init__() got multiple values for keyword argument 'self'"),
    (lambda: C._base64_encrypt(), "_base64_encrypt() takes exactly 1 positional argument (0 given)"),
    (lambda: C._base64_encrypt(*range(300)), "_base64_encrypt() takes exactly 1 positional argument (300 given)"),
    (lambda: C._aes_ecb_encrypt(key="k"), "_aes_ecb_encrypt() takes exactly 2 positional arguments (0 given)"),
    (lambda: C._aes_ecb_encrypt(value="v"), "_aes_ecb_encrypt() takes exactly 2 positional arguments (1 given)"),
    (lambda: C._aes_ecb_encrypt("v", value="v"), "_aes_ecb_encrypt() takes exactly 2 positional arguments (1 given)"),
    (lambda: C._aes_ecb_encrypt("v", "k", value="v"),
     "_aes_ecb_encrypt() got multiple values for keyword argument 'value'"),
    (lambda: C._rsa_decrypt("v"), "_rsa_decrypt() takes at least 2 positional arguments (1 given)"),
    (lambda: C._rsa_decrypt(1, 2, 3, 4), "_rsa_decrypt() takes at most 3 positional arguments (4 given)"),
    (lambda: C()._php_encrypt("v"), "_php_encrypt() takes at least 4 positional arguments (2 given)"),
    (lambda: C._rsa_keys(1), "_rsa_keys() takes no arguments (1 given)"),
    (lambda: C._rsa_keys(1, a=1), "_rsa_keys() takes no keyword arguments"),
    # the first bad keyword is reported, in call order
    (lambda: C._rsa_decrypt("v", "k", y=1, value=2), "_rsa_decrypt() got an unexpected keyword argument 'y'"),
    (lambda: C._rsa_decrypt("v", "k", value=2, y=1), "_rsa_decrypt() got multiple values for keyword argument 'value'"),
])
def test_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Name(str):
    pass


@pytest.mark.parametrize("name", [Name("value"), "".join(["val", "ue"])], ids=["str subclass", "not interned"])
def test_keyword_names_match_by_value(name):
    assert C._base64_encrypt(**{name: "abc"}) == "YWJj"
    with pytest.raises(TypeError, match=r"^_base64_encrypt\(\) got multiple values for keyword argument 'value'$"):
        C._base64_encrypt("abc", **{name: "abc"})


def test_keywords_bind_their_own_parameter():
    # the values reach the body: self may be any object, value is encoded
    assert C.__init__(self=object()) is None
    assert C._base64_decrypt(value="YWJj") == "abc"
    assert C._base64_encrypt(value="abc") == C._base64_encrypt("abc") == "YWJj"


@pytest.mark.skipif(not NON_STR_KEYWORDS, reason="this interpreter rejects non-str keywords itself")
def test_non_str_keyword_after_a_missing_parameter():
    # the missing parameter is found before the keywords are examined
    with pytest.raises(TypeError, match=r"\(0 given\)$"):
        C._base64_encrypt(**{1: 2})
    with pytest.raises(TypeError, match=r"^_base64_encrypt\(\) keywords must be strings$"):
        C._base64_encrypt(value="abc", **{1: 2})


def test_arguments_are_not_leaked():
    obj, value = C(), "v" * 99
    calls = [lambda: C._base64_encrypt(value), lambda: C._base64_encrypt(value=value),
             lambda: C._rsa_decrypt(value, value, value, value), lambda: C._rsa_decrypt(value, pri_key=value, x=value),
             lambda: obj._rsa_encrypt(value, hexs=value), lambda: C._rsa_encrypt(self=obj, value=value, pub_key=value)]
    before = sys.getrefcount(value), sys.getrefcount(obj)
    for _ in range(100):
        for call in calls:
            try:
                call()
            except Exception:
                pass
    assert (sys.getrefcount(value), sys.getrefcount(obj)) == before
