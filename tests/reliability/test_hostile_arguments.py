"""Arguments that fight back: encode, __bool__, __eq__, __index__ and __str__
that raise or return the wrong type, calls that empty the caller's keyword
dict or delete module globals while they run, and calls that re-enter. Each
method raises or returns as it should, and the module keeps working."""
import subprocess
import sys
import textwrap
import traceback

import pytest

import crypt_main
from catalog import IV, K16, PUB, SECRET, TOKEN, Boom, Issuer, Text, Unprintable, globals_changed
from method_table import METHODS, param_names

C = crypt_main.TarvikCryptMain
obj = C()


class Answer:
    """Raises a new `answer` if it is an exception class, else returns it."""

    def __init__(self, answer):
        self.answer = answer

    def give(self, what):
        if isinstance(self.answer, type) and issubclass(self.answer, BaseException):
            raise self.answer(what)
        return self.answer


class Flag(Answer):
    def __bool__(self):
        return self.give("truth")


class Fmt(Answer):
    def __eq__(self, other):
        return self.give("eq")

    __hash__ = object.__hash__


class Length(Answer):
    def __index__(self):
        return self.give("index")


class Sized:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    assert not isinstance(info.value, SystemError), info.value
    return info.value


def entry_names(e):
    return [f.name for f in traceback.extract_tb(e.__traceback__)]


# ---- encode

@pytest.mark.parametrize("method, args", [
    ("_aes_ecb_encrypt", (Text(Boom), K16)),
    ("_aes_ecb_encrypt", ("v", Text(Boom))),
    ("_aes_cbc_decrypt", (b"x" * 16, K16, Text(Boom))),
    ("_des_encrypt", (Text(Boom), "12345678")),
    ("_base64_encrypt", (Text(Boom),)),
    ("_base64_decrypt", (Text(Boom),)),
    ("_md5_encrypt", (Text(Boom), None)),
    ("_md5_hmac_encrypt", ("v", Text(Boom), None)),
    ("_sha256_encrypt", (Text(Boom), None)),
    ("_add_to_16", (Text(Boom),)),
    ("_php_encrypt", (obj, Text(Boom), K16, IV)),
    ("_rsa_encrypt", (obj, Text(Boom), PUB)),
])
def test_encode_that_raises_propagates_unchanged(method, args):
    e = raised(lambda: getattr(C, method)(*args))
    assert type(e) is Boom and str(e) == "encode"
    assert "crypt_main.TarvikCryptMain." + method in entry_names(e)


WRONG = [None, 42, "text", ["a"], bytearray(b"0123456789abcdef"), type("B", (bytes,), {})(b"0123456789abcdef")]


@pytest.mark.parametrize("encoded", WRONG, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("method, place, args", [
    ("_aes_ecb_encrypt", 0, ["v", K16]),
    ("_aes_ecb_encrypt", 1, ["v", K16]),
    ("_aes_cbc_encrypt", 2, ["v", K16, IV]),
    ("_des_decrypt", 1, [b"x" * 8, "12345678"]),
    ("_base64_encrypt", 0, ["v"]),
    ("_base64_decrypt", 0, ["YWJj"]),
    ("_md5_encrypt", 0, ["v", "upper"]),
    ("_md5_hmac_encrypt", 1, ["v", "k", "upper"]),
    ("_sha1_encrypt", 0, ["v", "lower"]),
    ("_add_to_16", 0, ["v"]),
    ("_php_encrypt", 2, [obj, "v", K16, IV, True]),
    ("_php_decrypt", 1, [obj, "AAAA", K16, IV, True]),
    ("_rsa_encrypt", 1, [obj, "v", PUB]),
], ids=lambda v: v if isinstance(v, str) else "")
def test_encode_that_returns_the_wrong_type(method, place, args, encoded):
    # whatever the libraries make of it: an ordinary exception or a result
    args = list(args)
    args[place] = Text(encoded, args[place])
    try:
        getattr(C, method)(*args)
    except Exception as e:
        assert not isinstance(e, SystemError), e
    assert C._base64_encrypt("abc") == "YWJj"


def test_the_exact_outcome_of_wrong_encodings():
    # the interpreter's own messages reach the caller
    e = raised(lambda: C._base64_encrypt(Text(42)))
    assert type(e) is TypeError
    e = raised(lambda: C._md5_encrypt(Text("text"), None))
    assert type(e) is TypeError and "crypt_main.TarvikCryptMain._md5_encrypt" in entry_names(e)
    assert C._md5_encrypt(Text(b"abc"), None) == C._md5_encrypt("abc", None)
    assert C._add_to_16(Text(["a"])) == ["a"] + [0] * 15  # `+=` extends a list by the zero byte


# ---- len() of what encode gave, and its __index__

@pytest.mark.parametrize("length, error", [
    (Length(Boom), Boom),
    (Length(1.5), TypeError),
    (Length(2 ** 80), OverflowError),
    (-1, ValueError),
], ids=["index raises", "index not int", "index too big", "negative"])
def test_length_of_encoded_value(length, error):
    assert type(raised(lambda: C._add_to_16(Text(Sized(length))))) is error


def test_encoded_value_of_a_whole_number_of_blocks_is_returned_as_it_is():
    sized = Sized(Length(32))
    assert C._add_to_16(Text(sized)) is sized


# ---- __bool__ of flags and keys

@pytest.mark.parametrize("truth, error", [(Boom, Boom), (1, TypeError), ("yes", TypeError)],
                         ids=["raises", "int", "str"])
@pytest.mark.parametrize("call", [
    lambda flag: obj._php_encrypt("v", K16, IV, flag),
    lambda flag: obj._php_decrypt(b"x" * 16, K16, IV, flag),
    lambda flag: obj._rsa_encrypt("v", flag),
    lambda flag: obj._rsa_encrypt("v", PUB, flag),
    lambda flag: C._rsa_decrypt(b"x", None, flag),
    lambda flag: C._token_encrypt("d", SECRET, None, flag),
    lambda flag: C._token_decrypt(TOKEN, SECRET, flag),
], ids=["base64s enc", "base64s dec", "pub_key", "hexs enc", "hexs dec", "issuer enc", "issuer dec"])
def test_truth_test_that_fails(call, truth, error):
    # __bool__ returning anything but a bool is a TypeError of the interpreter
    assert type(raised(lambda: call(Flag(truth)))) is error


def test_truth_of_a_generated_private_key_is_asked():
    class Keys(C):
        def _rsa_keys(self):
            return PUB, Flag(Boom)

    assert type(raised(lambda: Keys()._rsa_encrypt("v"))) is Boom


# ---- __eq__ of fmt

class Falsy:
    def __bool__(self):
        raise Boom("truth of ==")


@pytest.mark.parametrize("method", ["_md5_encrypt", "_sha384_encrypt"])
def test_fmt_comparisons(method):
    f = getattr(C, method)
    lower = f("abc", None)
    assert type(raised(lambda: f("abc", Fmt(Boom)))) is Boom
    assert type(raised(lambda: f("abc", Fmt(Falsy())))) is Boom
    assert f("abc", Fmt(NotImplemented)) == lower  # falls back to identity: unequal
    assert f("abc", Fmt(1)) == lower.upper()  # a true answer to the first question


# ---- __str__ of an error that _token_decrypt turns into its message

def test_error_whose_message_cannot_be_made():
    e = raised(lambda: C._token_decrypt(TOKEN, SECRET, Issuer("me")))
    assert type(e) is Boom and str(e) == "str"
    assert type(e.__context__) is Unprintable  # raised while handling it


def test_error_whose_message_is_not_a_str():
    class Wrong(Exception):
        def __str__(self):
            return 42

    class Odd(str):
        def __ne__(self, other):
            raise Wrong()

        __eq__ = __ne__
        __hash__ = str.__hash__

    e = raised(lambda: C._token_decrypt(TOKEN, SECRET, Odd("me")))
    assert type(e) is TypeError and type(e.__context__) is Wrong


# ---- module globals deleted or replaced while the call runs

class Deleting(str):
    """A text whose encode deletes module globals first."""

    def __new__(cls, text, *names):
        self = super().__new__(cls, text)
        self.names = names
        return self

    def encode(self, *args, **kwargs):
        for name in self.names:
            delattr(crypt_main, name)
        return str(self).encode(*args, **kwargs)


@pytest.fixture
def restored():
    saved = dict(vars(crypt_main))
    yield
    vars(crypt_main).clear()
    vars(crypt_main).update(saved)


@pytest.mark.parametrize("call, missing", [
    # key.encode comes after AES.new is fetched and before AES.MODE_ECB
    (lambda: C._aes_ecb_encrypt("v", Deleting(K16, "AES")), "AES"),
    # value.encode comes after pad is read and before AES.block_size
    (lambda: C._aes_ecb_encrypt(Deleting("v", "AES"), K16), "AES"),
    (lambda: C._md5_hmac_encrypt(Deleting("v", "hmac"), "k", None), "hmac"),
    (lambda: obj._php_encrypt("v", Deleting(K16, "AES"), IV), "AES"),
    (lambda: obj._php_encrypt("v", K16, IV, Flag(True)) if not delattr(crypt_main, "base64") else None, "base64"),
], ids=["aes key", "aes value", "hmac", "php key", "php base64"])
def test_global_deleted_during_the_call(restored, call, missing):
    e = raised(call)
    assert type(e) is NameError and str(e) == "name '%s' is not defined" % missing


@pytest.mark.parametrize("call, expected", [
    (lambda: C._aes_ecb_encrypt(Deleting("v", "pad"), K16), C._aes_ecb_encrypt("v", K16)),
    (lambda: C._base64_encrypt(Deleting("abc", "base64")), "YWJj"),
    (lambda: C._md5_encrypt(Deleting("abc", "hashlib"), None), C._md5_encrypt("abc", None)),
    (lambda: obj._rsa_encrypt(Deleting("abc", "rsa"), PUB).__class__, bytes),
], ids=["pad read before", "base64 read before", "hashlib read before", "rsa read before"])
def test_global_deleted_after_it_was_read(restored, call, expected):
    assert call() == expected


def test_module_namespace_cleared_during_the_call(restored):
    class Clearing(str):
        def encode(self, *args):
            vars(crypt_main).clear()
            return str(self).encode(*args)

    e = raised(lambda: C._aes_ecb_encrypt("v", Clearing(K16)))
    assert type(e) is NameError and str(e) == "name 'AES' is not defined"


def test_module_works_after_globals_are_restored():
    with globals_changed(AES=None, base64=None, rsa=None):
        assert type(raised(lambda: C._base64_encrypt("abc"))) is NameError
    assert C._base64_encrypt("abc") == "YWJj"
    assert C._aes_ecb_decrypt(C._aes_ecb_encrypt("v", K16), K16) == "v"


# ---- the caller's keyword dict emptied while the call runs

class Emptying(int):
    """An argument that, whatever is first asked of it, empties the dict the
    call was made with and checks that the other arguments are still alive."""

    def __new__(cls, call_dict, alive):
        self = super().__new__(cls, 1)
        self.call_dict, self.alive = call_dict, alive
        return self

    def _empty(self, *args, **kwargs):
        held = list(self.call_dict.values())
        self.call_dict.clear()
        del held  # the call's own references are all that is left
        dead = [name for name, flag in self.alive.items() if not flag]
        raise Boom("freed during the call: %s" % dead if dead else "alive")

    encode = __bool__ = __eq__ = __getattr__ = __radd__ = _empty
    __hash__ = int.__hash__


class Watched:
    """An argument whose death is noted."""

    def __init__(self, alive, name):
        self.alive, self.name = alive, name
        alive[name] = True

    def __del__(self):
        self.alive[self.name] = False

    def __getattr__(self, name):
        raise Boom("touched")


@pytest.mark.parametrize("via", ["class", "instance"])
@pytest.mark.parametrize("m", [m for m in METHODS if param_names(m) and m.name != "__init__"], ids=lambda m: m.name)
def test_keyword_dict_emptied_during_the_call(m, via):
    # The interpreter may hand the caller's own dict to the call (3.7 does
    # for f(**d)); the values must stay alive until the call returns.
    params = param_names(m)
    if via == "instance" and not m.static:
        params = params[1:]
    f = getattr(obj if via == "instance" else C, m.name)
    emptied = []
    for first in params:
        alive, d = {}, {}
        d[first] = Emptying(d, alive)
        for p in params:
            if p != first:
                d[p] = Watched(alive, p)
        try:
            f(**d)
        except Exception as e:
            assert "freed" not in str(e), (first, str(e))
            emptied.append(str(e) == "alive")
    assert any(emptied)


# ---- calls that re-enter

class Reentering(str):
    def encode(self, *args, **kwargs):
        depth = getattr(self, "depth", 0)
        if depth:
            inner = Reentering(self)
            inner.depth = depth - 1
            assert C._base64_decrypt(C._base64_encrypt(inner)) == str(self)
        return str(self).encode(*args, **kwargs)


def test_reentrant_calls():
    value = Reentering("abc")
    value.depth = 20
    assert C._base64_encrypt(value) == "YWJj"


def test_unbounded_reentry_is_a_recursion_error():
    # in a child: should the stack overflow, only the child dies
    code = """
        import crypt_main
        C = crypt_main.TarvikCryptMain
        class Again(str):
            def encode(self, *args):
                return C._aes_ecb_encrypt("v", self)
        try:
            C._aes_ecb_encrypt("v", Again("k"))
        except RecursionError:
            print("RecursionError")
        print(C._base64_encrypt("abc"))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True)
    assert result.stdout.split() == ["RecursionError", "YWJj"], result.stderr[-2000:]
