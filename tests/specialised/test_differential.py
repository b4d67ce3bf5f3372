"""The specialised paths give what the generic path gives: the same result,
or the same exception with the same message. Exact str and bytes arguments
take the specialised path once it is enabled; the same values as instances
of subclasses take the generic path."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import crypt_main

C = crypt_main.TarvikCryptMain


class S(str):
    pass


class B(bytes):
    pass


class Sub(C):
    pass


def generic(value):
    if type(value) is str:
        return S(value)
    if type(value) is bytes:
        return B(value)
    return value


def outcome(call, *args):
    try:
        return "result", call(*args)
    except Exception as e:  # the exception itself is compared, not caught for good
        # a message that names the argument's type names the subclass
        return "raised", type(e), str(e).replace("'B' object", "'bytes' object").replace("'S' object", "'str' object")


texts = st.one_of(
    st.text(max_size=40),
    st.text(alphabet="abc文字\U0001F600\u20ac\ud800", max_size=40),  # non-BMP, GBK-unencodable, lone surrogate
    st.sampled_from(["", "a" * 15, "a" * 16, "a" * 17, "é" * 8]),
)
keys = st.one_of(st.sampled_from(["0123456789abcdef", "k" * 24, "k" * 32, "01234567", "文字文字文字文字", "\ud800" * 16]),
                 st.text(max_size=33))
ivs = st.one_of(st.just("fedcba9876543210"), st.text(max_size=17))
fmts = st.sampled_from([None, "upper", "lower", "UPPER", "", "up"])
flags = st.sampled_from([False, True, None])
blobs = st.one_of(st.binary(max_size=40), st.integers(0, 4).map(lambda n: b"\x10" * 16 * n))

CIPHERS = ["_aes_ecb", "_aes_cbc", "_des"]


def cipher_args(name, key, iv):
    return (key, iv) if name == "_aes_cbc" else (key,)


def same(call, *args):
    """The call with exact arguments and with subclass arguments agree."""
    assert outcome(call, *args) == outcome(call, *map(generic, args))


def warm_up():
    obj = C()
    key, iv = "0123456789abcdef", "fedcba9876543210"
    for name in CIPHERS:
        args = cipher_args(name, "01234567" if name == "_des" else key, iv)
        getattr(C, name + "_decrypt")(getattr(C, name + "_encrypt")("warm", *args), *args)
    for flag in (False, True):
        obj._php_decrypt(obj._php_encrypt("warm", key, iv, flag), key, iv, flag)
    for fmt in (None, "upper", "lower"):
        for method in ("_md5_encrypt", "_sha1_encrypt", "_sha256_encrypt", "_sha384_encrypt", "_sha512_encrypt"):
            getattr(C, method)("warm", fmt)
        C._md5_hmac_encrypt("warm", "key", fmt)
    return {name: getattr(method, "__func__", method).__specialised__ for name, method in vars(C).items()
            if name.startswith(("_aes", "_des", "_php", "_md5", "_sha"))}


@pytest.fixture(scope="module", autouse=True)
def enabled():
    # first calls of every variant, so that what follows runs specialised;
    # once more where a first call imported or loaded what another branch
    # had recorded (that branch is then stale, and verifies again)
    warm_up()
    states = warm_up()
    # every branch warmed up is verified and enabled (where the guards let
    # nothing through, the comparisons below would test nothing)
    for name, state in states.items():
        assert state is None or set(state) == {"enabled"}, (name, state)


suite = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@suite
@given(name=st.sampled_from(CIPHERS), value=texts, key=keys, iv=ivs, blob=blobs)
def test_block_ciphers(name, value, key, iv, blob):
    args = cipher_args(name, key, iv)
    same(getattr(C, name + "_encrypt"), value, *args)
    same(getattr(C, name + "_decrypt"), blob, *args)
    kind, *ciphertext = outcome(getattr(C, name + "_encrypt"), value, *args)
    if kind == "result":
        same(getattr(C, name + "_decrypt"), ciphertext[0], *args)


base64ish = st.one_of(st.text(alphabet="QUJDYWJj+/=\n ", max_size=40),
                      st.binary(max_size=40).map(lambda b: b.decode("latin-1")))


@suite
@given(value=texts, key=keys, iv=ivs, flag=flags, blob=blobs, text=base64ish)
def test_php_cipher(value, key, iv, flag, blob, text):
    obj, sub = C(), Sub()
    for call, args in ((obj._php_encrypt, (value, key, iv, flag)), (obj._php_decrypt, (blob, key, iv, False))):
        assert outcome(call, *args) == outcome(getattr(sub, call.__name__), *args)
    kind, *ciphertext = outcome(obj._php_encrypt, value, key, iv, flag)
    if kind == "result":
        assert outcome(obj._php_decrypt, ciphertext[0], key, iv, flag) == \
            outcome(sub._php_decrypt, ciphertext[0], key, iv, flag)
    # Base64 text of every shape, not only what we produced
    assert outcome(obj._php_decrypt, text, key, iv, True) == outcome(sub._php_decrypt, text, key, iv, True)


@suite
@given(method=st.sampled_from(["_md5_encrypt", "_sha1_encrypt", "_sha256_encrypt", "_sha384_encrypt",
                               "_sha512_encrypt"]),
       value=st.one_of(texts, st.binary(max_size=200)), fmt=fmts)
def test_digests(method, value, fmt):
    same(getattr(C, method), value, fmt)


@suite
@given(value=st.one_of(texts, st.binary(max_size=100)), key=st.one_of(keys, st.binary(max_size=100)), fmt=fmts)
def test_hmac(value, key, fmt):
    same(C._md5_hmac_encrypt, value, key, fmt)
