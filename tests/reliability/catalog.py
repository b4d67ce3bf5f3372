"""Calls of every method of TarvikCryptMain, on its success path and on each
kind of error path, shared by the leak, allocation-failure and thread tests.

A case is a method reached through the class or an instance, its arguments,
and optionally a change to the module's globals that holds while it runs.
Nothing here needs pytest, so the allocation-failure child can import it.
"""
import binascii
import collections
import contextlib
import json
import os
import time

import jwt
import rsa
from Crypto.Cipher import AES, DES
from Crypto.Util.Padding import pad

import crypt_main

C = crypt_main.TarvikCryptMain
OBJ = C()

K16, K8, IV = "0123456789abcdef", "12345678", "fedcba9876543210"
TEXT = "文本 text " * 9
SECRET = "a shared secret of at least 32 bytes"
PUB, PRI = rsa.newkeys(256)
OTHER_PUB, OTHER_PRI = rsa.newkeys(256)
RSA_CIPHERTEXT = rsa.encrypt(b"abc", PUB)


def _published_key(bits):
    """A key of a published test file: made without a prime search, and of
    the size whose arithmetic runs without the GIL."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "vectors", "wycheproof",
                        "rsa_pkcs1_%d_test.json" % bits)
    with open(path) as f:
        key = {name: int(value, 16) for name, value in json.load(f)["testGroups"][0]["privateKey"].items()}
    n, e = key["modulus"], key["publicExponent"]
    return rsa.PublicKey(n, e), rsa.PrivateKey(n, e, key["privateExponent"], key["prime1"], key["prime2"])


BIG_PUB, BIG_PRI = _published_key(2048)
BIG_CIPHERTEXT = rsa.encrypt(b"abc", BIG_PUB)


MEMO_RSA = False  # the allocation-failure sweeps set this
_RSA_ANSWERS = {}


class RsaStandIn:
    """Stands in for the rsa module: newkeys hands out one fixed pair (or
    what a case asks for) instead of generating primes; the rest is the
    real module's. With `memo`, encrypt and decrypt answer each question
    once through the real module and then from memory: allocation-failure
    sweeps then try this module's steps, not the library's 1,400
    allocations per decryption (a failure between python-rsa's two updates
    of a key's blinding factor leaves the key unable to decrypt)."""

    def __init__(self, pair=(PUB, PRI), memo=None):
        self._pair = pair
        self._memo = _RSA_ANSWERS if (MEMO_RSA if memo is None else memo) else None

    def newkeys(self, nbits):
        return self._pair

    def encrypt(self, message, pub_key):
        return self._answer(rsa.encrypt, message, pub_key)

    def decrypt(self, crypto, priv_key):
        return self._answer(rsa.decrypt, crypto, priv_key)

    def _answer(self, f, data, key):
        if self._memo is None:
            return f(data, key)
        question = (f.__name__, data, id(key))
        if question not in self._memo:
            try:
                self._memo[question] = (f(data, key), None)
            except MemoryError:
                raise
            except Exception as e:
                self._memo[question] = (None, (type(e), e.args))
        answer, error = self._memo[question]
        if error:
            raise error[0](*error[1])
        return answer

    def __getattr__(self, name):
        return getattr(rsa, name)


_CIPHER_ANSWERS = {}


def _answer(question, ask, *args):
    """What the real library says to a question, ask(*args) once and then
    remembered (MemoryError is not an answer). No function is made here:
    3.12 and 3.13 crash when making one fails."""
    try:
        known = question in _CIPHER_ANSWERS
    except TypeError:  # unhashable: ask every time
        return ask(*args)
    if not known:
        try:
            _CIPHER_ANSWERS[question] = (ask(*args), None)
        except MemoryError:
            raise
        except Exception as e:
            _CIPHER_ANSWERS[question] = (None, (type(e), e.args))
    answer, error = _CIPHER_ANSWERS[question]
    if error:
        raise error[0](*error[1])
    return answer


def _encrypt(module, args, data):
    return module.new(*args).encrypt(data)


def _decrypt(module, args, data):
    return module.new(*args).decrypt(data)


class CipherStandIn:
    """Stands in for AES or DES in the allocation-failure sweeps: each
    question is answered once by the real module and then from memory, for
    pycryptodome leaks its native state when a failing allocation stops the
    destructor of a cipher object."""

    def __init__(self, module):
        self._module = module

    def new(self, *args):
        return _Cryptor(self._module, args)

    def __getattr__(self, name):
        return getattr(self._module, name)


class _Cryptor:
    def __init__(self, module, args):
        self._module, self._args = module, args
        _answer((module.__name__, "new") + args, module.new, *args)

    def encrypt(self, data):
        return _answer((self._module.__name__, "encrypt", self._args, data), _encrypt, self._module, self._args, data)

    def decrypt(self, data):
        return _answer((self._module.__name__, "decrypt", self._args, data), _decrypt, self._module, self._args, data)


@contextlib.contextmanager
def globals_changed(**changes):
    """Rebinds (or, for None, deletes) module globals while the block runs."""
    namespace = vars(crypt_main)
    saved = {name: namespace[name] for name in changes if name in namespace}
    try:
        for name, value in changes.items():
            if value is None:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        yield
    finally:
        for name in changes:
            namespace.pop(name, None)
        namespace.update(saved)


def without(*names):
    return lambda: globals_changed(**dict.fromkeys(names))


def stub_rsa(pair=(PUB, PRI)):
    return lambda: globals_changed(rsa=RsaStandIn(pair))


# ---- arguments that misbehave

class Boom(Exception):
    pass


class Text(str):
    """A str whose encode returns a chosen object, or raises a new instance
    of a chosen exception class."""

    def __new__(cls, encoded, text="text"):
        self = super().__new__(cls, text)
        self.encoded = encoded
        return self

    def encode(self, *args, **kwargs):
        if isinstance(self.encoded, type) and issubclass(self.encoded, BaseException):
            raise self.encoded("encode")
        return self.encoded


class Flag:
    """A flag or fmt whose truth test or == raises."""

    def __bool__(self):
        raise Boom("truth")

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = object.__hash__


class Unprintable(Exception):
    def __str__(self):
        raise Boom("str")


class Issuer(str):
    """An issuer that a token's own cannot be compared with, raising an
    error that cannot be printed."""

    def __eq__(self, other):
        raise Unprintable()

    __ne__ = __eq__
    __hash__ = str.__hash__


class ShortKeys(C):
    def _rsa_keys(self):
        return (PUB,)


# ---- inputs made with the libraries themselves

def _aes_ecb(plain):
    return AES.new(K16.encode(), AES.MODE_ECB).encrypt(pad(plain, 16))


def _token(payload):
    return jwt.encode(payload, SECRET, algorithm="HS256")


NOT_UTF8_ECB = _aes_ecb(b"\xff\xfe")
NOT_GBK_PHP = AES.new(K16.encode(), AES.MODE_CBC, IV.encode()).encrypt(b"\xff" * 16)
NOW = int(time.time())
TOKEN = _token({"data": {"n": [1, 2]}, "iat": NOW, "iss": "tarvik"})
EXPIRED = _token({"data": 1, "iat": NOW - 100, "iss": "tarvik", "exp": NOW - 50})
FOREIGN = _token({"data": 1, "iat": NOW, "iss": "elsewhere"})


# ---- the cases

Case = collections.namedtuple("Case", "method label via args kwargs setup deterministic")


def _case(method, label, *args, via="class", setup=None, deterministic=True, **kwargs):
    return Case(method, label, via, args, kwargs, setup, deterministic)


def _cases():
    c = _case
    yield c("__init__", "ok", via="instance")
    yield c("__init__", "ok by keyword", self=OBJ)
    yield c("__init__", "binding: too many", 1, via="instance")
    yield c("__init__", "binding: unexpected keyword", OBJ, x=1)

    ecb = C._aes_ecb_encrypt(TEXT, K16)
    yield c("_aes_ecb_encrypt", "ok", TEXT, K16)
    yield c("_aes_ecb_encrypt", "ok by keyword", key=K16, value=TEXT, via="instance")
    yield c("_aes_ecb_encrypt", "binding: multiple values", TEXT, K16, value=TEXT)
    yield c("_aes_ecb_encrypt", "argument: key without encode", TEXT, None)
    yield c("_aes_ecb_encrypt", "argument: value not utf-8", "\udc80", K16)
    yield c("_aes_ecb_encrypt", "library: key length", TEXT, "short")
    yield c("_aes_ecb_encrypt", "global: AES missing", TEXT, K16, setup=without("AES"))
    yield c("_aes_ecb_encrypt", "global: pad missing", TEXT, K16, setup=without("pad"))
    yield c("_aes_ecb_encrypt", "callback: encode raises", Text(Boom), K16)
    yield c("_aes_ecb_decrypt", "ok", ecb, K16)
    yield c("_aes_ecb_decrypt", "binding: missing", value=ecb)
    yield c("_aes_ecb_decrypt", "argument: str ciphertext", "text", K16)
    yield c("_aes_ecb_decrypt", "library: ragged", b"x" * 17, K16)
    yield c("_aes_ecb_decrypt", "library: padding", b"\0" * 32, K16)
    yield c("_aes_ecb_decrypt", "library: not utf-8", NOT_UTF8_ECB, K16)
    yield c("_aes_ecb_decrypt", "global: unpad missing", ecb, K16, setup=without("unpad"))

    cbc = C._aes_cbc_encrypt(TEXT, K16, IV)
    yield c("_aes_cbc_encrypt", "ok", TEXT, K16, IV)
    yield c("_aes_cbc_encrypt", "binding: too many", TEXT, K16, IV, IV)
    yield c("_aes_cbc_encrypt", "argument: iv without encode", TEXT, K16, b"iv")
    yield c("_aes_cbc_encrypt", "library: iv length", TEXT, K16, "iv")
    yield c("_aes_cbc_encrypt", "callback: encode returns str", Text("str"), K16, IV)
    yield c("_aes_cbc_decrypt", "ok", cbc, K16, IV)
    yield c("_aes_cbc_decrypt", "library: padding", b"\0" * 32, K16, IV)
    yield c("_aes_cbc_decrypt", "global: AES missing", cbc, K16, IV, setup=without("AES"))

    yield c("_base64_encrypt", "ok", TEXT * 3)
    yield c("_base64_encrypt", "ok by keyword", value="", via="instance")
    yield c("_base64_encrypt", "binding: unexpected keyword", TEXT, x=1)
    yield c("_base64_encrypt", "argument: bytes", b"abc")
    yield c("_base64_encrypt", "argument: not utf-8", "\udc80")
    yield c("_base64_encrypt", "callback: encode returns int", Text(7))
    yield c("_base64_encrypt", "global: base64 missing", TEXT, setup=without("base64"))
    yield c("_base64_decrypt", "ok", C._base64_encrypt(TEXT * 3))
    yield c("_base64_decrypt", "library: padding", "YWJ")
    yield c("_base64_decrypt", "library: not utf-8", "/w==")
    yield c("_base64_decrypt", "argument: None", None)

    des = C._des_encrypt(TEXT, K8)
    yield c("_des_encrypt", "ok", TEXT, K8)
    yield c("_des_encrypt", "library: key length", TEXT, K16)
    yield c("_des_encrypt", "global: DES missing", TEXT, K8, setup=without("DES"))
    yield c("_des_decrypt", "ok", des, K8)
    yield c("_des_decrypt", "library: ragged", b"x" * 9, K8)
    yield c("_des_decrypt", "binding: missing", des)

    for fmt in ("lower", "upper", None):
        yield c("_md5_encrypt", "ok fmt=%s" % fmt, TEXT, fmt)
    yield c("_md5_encrypt", "ok bytes", TEXT.encode(), "upper")
    yield c("_md5_encrypt", "argument: bytearray", bytearray(b"x"), None)
    yield c("_md5_encrypt", "callback: fmt == raises", TEXT, Flag())
    yield c("_md5_encrypt", "global: hashlib missing", TEXT, None, setup=without("hashlib"))
    yield c("_md5_hmac_encrypt", "ok", TEXT, K16, None)
    yield c("_md5_hmac_encrypt", "ok bytes upper", b"\x00abc", b"key", "upper")
    yield c("_md5_hmac_encrypt", "argument: key None", TEXT, None, "lower")
    yield c("_md5_hmac_encrypt", "callback: fmt == raises", TEXT, K16, Flag())
    yield c("_md5_hmac_encrypt", "global: hmac missing", TEXT, K16, None, setup=without("hmac"))

    raw = OBJ._php_encrypt(TEXT, K16, IV)
    b64 = OBJ._php_encrypt(TEXT + "\0", "k" * 20, IV, True)
    yield c("_php_encrypt", "ok raw", TEXT, K16, IV, via="instance")
    yield c("_php_encrypt", "ok base64", TEXT, "k" * 20, IV, True, via="instance")
    yield c("_php_encrypt", "ok by keyword", self=OBJ, value=TEXT, key=K16, iv=IV, base64s=1)
    yield c("_php_encrypt", "binding: too few", TEXT, via="instance")
    yield c("_php_encrypt", "argument: not gbk", "🚀", K16, IV, via="instance")
    yield c("_php_encrypt", "library: empty key", TEXT, "", IV, via="instance")
    yield c("_php_encrypt", "callback: base64s truth raises", TEXT, K16, IV, Flag(), via="instance")
    yield c("_php_encrypt", "global: base64 missing", TEXT, K16, IV, True, via="instance",
            setup=without("base64"))
    yield c("_php_decrypt", "ok raw", raw, K16, IV, via="instance")
    yield c("_php_decrypt", "ok base64", b64, "k" * 20, IV, True, via="instance")
    yield c("_php_decrypt", "library: bad base64", "AAA", K16, IV, True, via="instance")
    yield c("_php_decrypt", "library: ragged", b"x" * 17, K16, IV, via="instance")
    yield c("_php_decrypt", "library: not gbk", NOT_GBK_PHP, K16, IV, via="instance")

    yield c("_add_to_16", "ok", TEXT)
    yield c("_add_to_16", "ok bytearray from encode", Text(bytearray(b"abc")))
    yield c("_add_to_16", "argument: None", None)
    yield c("_add_to_16", "callback: encode returns int", Text(5))

    yield c("_rsa_keys", "ok", setup=stub_rsa())
    yield c("_rsa_keys", "binding: arguments", 1)
    yield c("_rsa_keys", "library: three keys", setup=stub_rsa((PUB, PRI, PRI)))
    yield c("_rsa_keys", "library: not iterable", setup=stub_rsa(7))
    yield c("_rsa_keys", "global: rsa missing", setup=without("rsa"))
    yield c("_rsa_encrypt", "ok with a key", "abc", PUB, via="instance", deterministic=False)
    yield c("_rsa_encrypt", "ok hexs", "abc", PUB, True, via="instance", deterministic=False)
    yield c("_rsa_encrypt", "ok 2048-bit", "abc", BIG_PUB, via="instance", deterministic=False)
    yield c("_rsa_encrypt", "ok generated", "abc", via="instance", setup=stub_rsa(), deterministic=False)
    yield c("_rsa_encrypt", "binding: too many", "abc", PUB, True, 4, via="instance")
    yield c("_rsa_encrypt", "argument: bytes", b"abc", PUB, via="instance")
    yield c("_rsa_encrypt", "library: too long", "x" * 40, PUB, via="instance")
    yield c("_rsa_encrypt", "callback: pub_key truth raises", "abc", Flag(), via="instance")
    yield c("_rsa_encrypt", "callback: _rsa_keys gives one key", ShortKeys(), "abc")
    yield c("_rsa_decrypt", "ok", RSA_CIPHERTEXT, PRI)
    yield c("_rsa_decrypt", "ok hexs", binascii.b2a_hex(RSA_CIPHERTEXT).decode(), PRI, hexs=True)
    yield c("_rsa_decrypt", "ok 2048-bit", BIG_CIPHERTEXT, BIG_PRI)
    yield c("_rsa_decrypt", "library: wrong key", RSA_CIPHERTEXT, OTHER_PRI)
    yield c("_rsa_decrypt", "library: bad hex", "xyz", PRI, True)
    yield c("_rsa_decrypt", "callback: hexs truth raises", RSA_CIPHERTEXT, PRI, Flag())
    yield c("_rsa_decrypt", "global: a2b_hex missing", RSA_CIPHERTEXT, PRI, True, setup=without("a2b_hex"))

    for name in ("_sha1_encrypt", "_sha256_encrypt", "_sha384_encrypt", "_sha512_encrypt"):
        yield c(name, "ok", TEXT, "upper")
        yield c(name, "argument: bytes", b"abc", None)
        yield c(name, "callback: fmt == raises", TEXT, Flag())

    yield c("_token_encrypt", "ok with lifetime", {"n": [1, 2]}, SECRET, 3600, "me", deterministic=False)
    yield c("_token_encrypt", "ok without lifetime", "data", SECRET, None, None, deterministic=False)
    yield c("_token_encrypt", "library: not json", object(), SECRET, None, None)
    yield c("_token_encrypt", "argument: float lifetime", "data", SECRET, 1.5, None)
    yield c("_token_encrypt", "callback: issuer truth raises", "data", SECRET, None, Flag())
    yield c("_token_encrypt", "global: jwt missing", "data", SECRET, None, None, setup=without("jwt"))
    yield c("_token_decrypt", "ok", TOKEN, SECRET, None)
    yield c("_token_decrypt", "caught: expired", EXPIRED, SECRET, "")
    yield c("_token_decrypt", "caught: wrong key", TOKEN, SECRET + "!", None)
    yield c("_token_decrypt", "caught: wrong issuer", FOREIGN, SECRET, None)
    yield c("_token_decrypt", "caught: not a token", "not a token", SECRET, None)
    yield c("_token_decrypt", "callback: issuer truth raises", TOKEN, SECRET, Flag())
    yield c("_token_decrypt", "callback: message of the error raises", TOKEN, SECRET, Issuer("me"))
    yield c("_token_decrypt", "global: jwt missing", TOKEN, SECRET, None, setup=without("jwt"))


CASES = list(_cases())
METHOD_NAMES = list(dict.fromkeys(case.method for case in CASES))


def target(case):
    """The callable that a case calls."""
    return getattr(OBJ if case.via == "instance" else C, case.method)


def outcome(case):
    """What the case gives under ordinary conditions: ("value", result) or
    ("raised", exception type)."""
    with conditions(case):
        try:
            return "value", target(case)(*case.args, **case.kwargs)
        except Exception as e:
            return "raised", type(e)


def conditions(case):
    return case.setup() if case.setup else contextlib.nullcontext()


def label(case):
    return "%s %s%s" % (case.method, case.label, " (instance)" if case.via == "instance" else "")
