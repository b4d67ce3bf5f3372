"""What a branch depends on is recorded from the library's own run: every name
that the library's code reads on the generic path, replaced after the branch
was enabled (by a counting stand-in, a raising one, or deleted), reaches the
module as it reaches the same calls written in Python: at once where the
interpreter tells of changes (3.12+), within a branch's compare period
before."""

import builtins
import hashlib
import hmac
import importlib
import sys
import types

import pytest

import crypt_main
from Crypto.Cipher import AES, _mode_ecb
from test_guards import counting, generic_calls  # noqa: F401 (a fixture)
from Crypto.Util import Padding

C = crypt_main.TarvikCryptMain
G = crypt_main
KEY, IV, KEY8 = "0123456789abcdef", "fedcba9876543210", "01234567"
LAG = 0 if sys.version_info >= (3, 12) else 1000  # calls before a change below the entry points is seen


def block(cipher, mode, key, *iv):
    module = getattr(G, cipher)
    return module.new(key.encode("utf-8"), getattr(module, mode), *[v.encode("utf-8") for v in iv])


def block_decrypt(cipher, mode, key, *iv):
    ciphertext = block(cipher, mode, key, *iv).encrypt(G.pad(b"text", getattr(G, cipher).block_size))
    return G.unpad(block(cipher, mode, key, *iv).decrypt(ciphertext), getattr(G, cipher).block_size).decode()


# Each branch of the cipher, digest and HMAC paths: the method's call, and
# the same call written in Python as the method's statements are.
BRANCHES = {
    "aes_ecb": (lambda: C._aes_ecb_encrypt("text", KEY),
                lambda: block("AES", "MODE_ECB", KEY).encrypt(G.pad(b"text", G.AES.block_size))),
    "aes_cbc": (lambda: C._aes_cbc_encrypt("text", KEY, IV),
                lambda: block("AES", "MODE_CBC", KEY, IV).encrypt(G.pad(b"text", G.AES.block_size))),
    "des_decrypt": (lambda: C._des_decrypt(C._des_encrypt("text", KEY8), KEY8), lambda: block_decrypt("DES", "MODE_ECB", KEY8)),
    "md5": (lambda: C._md5_encrypt("text", None), lambda: G.hashlib.md5("text".encode("utf-8")).hexdigest()),
    "hmac": (lambda: C._md5_hmac_encrypt("text", "key", "upper"),
             lambda: G.hmac.new(b"key", b"text", digestmod=G.hashlib.md5).digest().upper()),
}

LIBRARIES = {"Crypto", "hmac", "hashlib"}

# What the harness itself runs between a replacement and its undoing.
HARNESS = {"type", "str", "len", "isinstance", "getattr", "setattr", "delattr", "hasattr", "print", "repr",
           "Exception", "BaseException", "object", "super", "tuple", "list", "dict", "vars", "__import__"}


def names_read(python):
    """(namespace owner, name) for every global, class attribute and built-in
    that the library's code reads while `python` runs: from the code objects
    a profile function sees, their names, and the built-ins they call."""
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename != __file__:
            seen.append((frame.f_code, frame.f_globals))
        elif event == "c_call" and getattr(arg, "__self__", None) is builtins:
            seen.append((None, arg.__name__))
    sys.setprofile(profile)
    try:
        python()
    finally:
        sys.setprofile(None)
    found = {}
    for code, ns in seen:
        if code is None:
            found[("builtins", ns)] = (builtins, ns)
            continue
        module = sys.modules.get(ns.get("__name__"))
        if module is None or vars(module) is not ns or module.__name__.split(".")[0] not in LIBRARIES:
            continue  # an import hook's, say
        owners = [module]
        for cls in list(ns.values()):  # the class the code's function was found on
            for name, value in list(vars(cls).items()) if isinstance(cls, type) else ():
                if getattr(getattr(value, "__func__", value), "__code__", None) is code:
                    owners.append(cls)
                    found[(cls.__qualname__, name)] = (cls, name)
        for name in code.co_names:
            for owner in owners:
                if name in vars(owner):
                    found[(getattr(owner, "__qualname__", owner.__name__), name)] = (owner, name)
            if not any(name in vars(owner) for owner in owners) and name in vars(builtins):
                found[("builtins", name)] = (builtins, name)
    return sorted((key, value) for key, value in found.items() if key[1] not in HARNESS and not
                  key[1].startswith("__") and not isinstance(vars(value[0])[key[1]], types.ModuleType) and
                  not (RAW_API in (getattr(value[0], "__name__", None), getattr(value[0], "__module__", None))))


def memory_level(owner, name):
    """pycryptodome's pointers and buffers: a stand-in there hands its
    compiled code a wrong pointer, which crashes Python and module alike."""
    value = vars(owner)[name]
    return RAW_API in (getattr(owner, "__name__", None), getattr(owner, "__module__", None),
                       getattr(value, "__module__", None)) or \
        type(value).__module__ in ("ctypes", "_ctypes", "_cffi_backend")


RAW_API = "Crypto.Util._raw_api"


def outcome(call, record):
    record.clear()
    try:
        result = ("result", call())
    except Exception as e:
        result = ("raised", type(e), str(e))
    return result, len(record)


def raising(record, real):
    return counting(record, lambda *args, **kwargs: {}["stand-in"])


CASES = [(branch, key, owner, name, mode) for branch, (_, python) in sorted(BRANCHES.items())
         for key, (owner, name) in names_read(python) for mode in ("counting", "raising", "deleted")
         if mode == "deleted" or (callable(vars(owner)[name]) and not memory_level(owner, name))]
SAMPLE = CASES[::9]  # the fast suite's share; the whole sweep is slow


def check(monkeypatch, branch, owner, name, mode):
    method, python = BRANCHES[branch]
    method(), method()
    assert method() == python()
    record = []
    if mode == "deleted":
        monkeypatch.delattr(owner, name)
    else:
        monkeypatch.setattr(owner, name, (counting if mode == "counting" else raising)(record, vars(owner)[name]))
    for _ in range(LAG):
        outcome(method, record)
    ours = outcome(method, record)
    theirs = outcome(python, record)
    monkeypatch.undo()
    assert ours == theirs


@pytest.mark.parametrize("branch, key, owner, name, mode", SAMPLE,
                         ids=["%s-%s.%s-%s" % (c[0], c[1][0], c[1][1], c[4]) for c in SAMPLE])
def test_a_name_the_library_reads_reaches_the_module(monkeypatch, branch, key, owner, name, mode):
    check(monkeypatch, branch, owner, name, mode)


@pytest.mark.slow
@pytest.mark.parametrize("branch, key, owner, name, mode", CASES,
                         ids=["%s-%s.%s-%s" % (c[0], c[1][0], c[1][1], c[4]) for c in CASES])
def test_every_name_the_library_reads_reaches_the_module(monkeypatch, branch, key, owner, name, mode):
    check(monkeypatch, branch, owner, name, mode)


def test_the_sweep_reaches_below_the_entry_points():
    keys = {key for _, key, _, _, _ in CASES}
    assert {("Crypto.Cipher._mode_ecb", "raw_ecb_lib"), ("EcbMode", "encrypt"), ("HMAC", "digest")} <= keys


# ---- the cases, by name -------------------------------------------

def settle(call):
    for _ in range(LAG):
        try:
            call()
        except Exception:
            pass


def outcome_of(call):
    try:
        return "result", call()
    except Exception as e:
        return "raised", type(e), str(e)


class FailingLibrary:
    """pycryptodome's compiled ECB as a stand-in that reports an error."""

    def __init__(self, real):
        self.real = real

    def __getattr__(self, name):
        return getattr(self.real, name)

    def ECB_encrypt(self, *args):
        return 5


@pytest.mark.parametrize("owner, name, value", [
    (_mode_ecb, "raw_ecb_lib", lambda real: FailingLibrary(real)),
    (hmac, "_functype", lambda real: None),
    (hmac, "trans_5C", lambda real: bytes(256)),
    (Padding, "bchr", lambda real: lambda n: b"!" * n),
], ids=["raw_ecb_lib", "_functype", "trans_5C", "bchr"])
def test_a_stand_in_below_the_entry_points_is_the_librarys_to_answer(monkeypatch, owner, name, value):
    if not hasattr(owner, name):
        pytest.skip("this release has no %s" % name)
    method, python = BRANCHES["hmac" if owner is hmac else "aes_ecb"]
    method(), method()
    monkeypatch.setattr(owner, name, value(getattr(owner, name)))
    settle(method)
    assert outcome_of(method) == outcome_of(python)
    monkeypatch.undo()
    assert outcome_of(method) == outcome_of(python)


@pytest.mark.parametrize("owner, name", [(hmac.HMAC, "_current"), (hmac.HMAC, "_init_hmac"), (Padding, "bord"),
                                         (Padding, "bchr"), (_mode_ecb, "c_size_t")])
def test_a_deleted_name_is_missed_as_by_the_library(monkeypatch, owner, name):
    if name not in vars(owner):
        pytest.skip("this release has no %s" % name)
    method, python = BRANCHES["hmac" if owner is hmac.HMAC else "aes_ecb"]
    method(), method()
    monkeypatch.delattr(owner, name)
    settle(method)
    assert outcome_of(method) == outcome_of(python)


# (a __new__ set and deleted again leaves the class refusing arguments: the
# interpreter's, not a case for here)
@pytest.mark.parametrize("cls, branch", [(_mode_ecb.EcbMode, "aes_ecb"), (hmac.HMAC, "hmac")])
def test_a_class_level_hook_is_called_as_by_the_library(monkeypatch, cls, branch):
    method, python = BRANCHES[branch]
    method(), method()
    record = []

    def stand_in(self, attribute):
        record.append(1)
        return object.__getattribute__(self, attribute)
    monkeypatch.setattr(cls, "__getattribute__", stand_in)
    settle(method)
    record.clear()
    ours = outcome_of(method), len(record)
    record.clear()
    assert ours == (outcome_of(python), len(record)) and ours[1] > 0


def test_a_reload_records_again_and_enables(generic_calls):
    method, python = BRANCHES["aes_ecb"]
    method(), method()
    assert C._aes_ecb_encrypt.__specialised__ == ("enabled",)
    importlib.reload(AES)
    assert C._aes_ecb_encrypt.__specialised__ == ("stale",)
    expected = python()
    assert method() == expected  # verifies the reloaded module: enabled again
    generic_calls.clear()
    assert method() == expected and not generic_calls
    assert C._aes_ecb_encrypt.__specialised__ == ("enabled",)
    # the other branches on AES see the reload too (before 3.12, when they
    # look): they verify again here, not in the tests that follow
    obj = C()
    for call in (lambda: C._aes_ecb_decrypt(C._aes_ecb_encrypt("t", KEY), KEY),
                 lambda: C._aes_cbc_decrypt(C._aes_cbc_encrypt("t", KEY, IV), KEY, IV),
                 lambda: obj._php_decrypt(obj._php_encrypt("t", KEY, IV), KEY, IV),
                 lambda: obj._php_decrypt(obj._php_encrypt("t", KEY, IV, True), KEY, IV, True)):
        [m.__specialised__ for m in vars(C).values() if getattr(m, "__specialised__", None)]
        call()


def test_a_declining_branch_says_so_and_comes_back(monkeypatch):
    method, python = BRANCHES["aes_ecb"]
    method(), method()
    monkeypatch.setattr(_mode_ecb.EcbMode, "encrypt", counting([], _mode_ecb.EcbMode.encrypt))
    settle(method)
    method()
    assert C._aes_ecb_encrypt.__specialised__ == ("declining",)
    monkeypatch.undo()
    assert C._aes_ecb_encrypt.__specialised__ == ("enabled",)  # back as it was enabled


def test_a_name_no_library_code_reads_may_be_rebound_for_good(monkeypatch):
    """A package imported after the branch was enabled may rebind, for the
    rest of the process, a name in a namespace the library's code runs in
    that none of it reads (typing_extensions puts its own helpers into
    typing's): the branch verifies again and is enabled, as in a process
    that imported the package first."""
    method, python = BRANCHES["aes_ecb"]
    method(), method()
    assert C._aes_ecb_encrypt.__specialised__ == ("enabled",)
    monkeypatch.setattr(builtins, "copyright", lambda: "a package's own")
    settle(method)
    assert method() == python()
    assert C._aes_ecb_encrypt.__specialised__ == ("enabled",)
