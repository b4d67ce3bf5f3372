"""docs/crypt_main_listing.py, the listing that traceback entries point at,
run as Python beside the module: both must report the same lines."""

import pathlib
import re
import subprocess
import sys
import traceback

import pytest

import crypt_main

LISTING = pathlib.Path(__file__).resolve().parents[2] / "docs" / "crypt_main_listing.py"
if not LISTING.exists():
    pytest.skip("docs/ is not beside the tests", allow_module_level=True)
SOURCE = LISTING.read_text(encoding="utf-8")
LINES = SOURCE.splitlines()
IMPORTS = [(n, line) for n, line in enumerate(LINES, 1) if re.match(r"(import|from) ", line)]
GLOBALS = [line.split()[-1] for _, line in IMPORTS]

C = crypt_main.TarvikCryptMain
ref_globals = {"__name__": "crypt_main_listing"}
exec(compile(SOURCE, "crypt_main.py", "exec"), ref_globals)
R = ref_globals["TarvikCryptMain"]
KEY, K8, IV, SECRET = "0123456789abcdef", "8bytekey", "fedcba9876543210", "a shared secret of at least 32 bytes"
PUB, PRI = crypt_main.rsa.newkeys(256)


def calls(cls):
    """Each method with arguments that take every branch that reads a global."""
    obj = cls()
    return {
        "__init__": (obj,),
        "_aes_ecb_encrypt": ("text", KEY), "_aes_ecb_decrypt": (C._aes_ecb_encrypt("text", KEY), KEY),
        "_aes_cbc_encrypt": ("text", KEY, IV), "_aes_cbc_decrypt": (C._aes_cbc_encrypt("text", KEY, IV), KEY, IV),
        "_base64_encrypt": ("abc",), "_base64_decrypt": ("YWJj",),
        "_des_encrypt": ("text", K8), "_des_decrypt": (C._des_encrypt("text", K8), K8),
        "_md5_encrypt": ("abc", None), "_md5_hmac_encrypt": ("abc", "key", None),
        "_php_encrypt": (obj, "text", "secret", IV, True),
        "_php_decrypt": (obj, C()._php_encrypt("text", "secret", IV, True), "secret", IV, True),
        "_add_to_16": ("abc",), "_rsa_keys": (), "_rsa_encrypt": (obj, "abc", None, True),
        "_rsa_decrypt": (C()._rsa_encrypt("abc", PUB, True), PRI, True),
        "_sha1_encrypt": ("abc", None), "_sha256_encrypt": ("abc", None),
        "_sha384_encrypt": ("abc", None), "_sha512_encrypt": ("abc", None),
        "_token_encrypt": ({"id": 1}, SECRET, 60, "issuer"),
        "_token_decrypt": (C._token_encrypt({"id": 1}, SECRET, 60, "issuer"), SECRET, "issuer"),
    }


METHODS = list(calls(C))


def outcome(f, args):
    """The exception's type and the lines and methods of its crypt_main.py entries."""
    try:
        f(*args)
    except Exception as e:
        return type(e), [(line, frame.f_code.co_name.rsplit(".", 1)[-1]) for frame, line in
                         traceback.walk_tb(e.__traceback__) if frame.f_code.co_filename == "crypt_main.py"]
    return None


def test_methods_match_the_table():
    assert [k for k, v in vars(C).items() if hasattr(v, "__code__") or isinstance(v, staticmethod)] == METHODS
    for name in METHODS:
        mine, ref = getattr(C, name), getattr(R, name)
        assert LINES[mine.__code__.co_firstlineno - 1].startswith("    def %s(" % name)
        assert mine.__code__.co_varnames == ref.__code__.co_varnames, name
        assert (mine.__defaults__, isinstance(vars(C)[name], staticmethod)) == (
            ref.__defaults__, isinstance(vars(R)[name], staticmethod)), name


class Hostile:
    """Fails whatever is asked of it: its truth, comparison or attributes."""

    def __getattr__(self, name):
        raise LookupError(name)

    def __bool__(self):
        raise LookupError("truth")

    def __eq__(self, other):
        raise LookupError("==")


@pytest.mark.parametrize("name", METHODS)
def test_failures_report_the_listing_lines(monkeypatch, name):
    """Every global in turn deleted, and a hostile object in each argument."""
    mine, ref = calls(C)[name], calls(R)[name]
    for i in range(len(mine)):
        hostile = Hostile()
        assert outcome(getattr(C, name), mine[:i] + (hostile,) + mine[i + 1:]) == outcome(
            getattr(R, name), ref[:i] + (hostile,) + ref[i + 1:]), (name, i)
    for g in GLOBALS:
        with monkeypatch.context() as m:
            m.delattr(crypt_main, g)
            m.delitem(ref_globals, g)
            assert outcome(getattr(C, name), mine) == outcome(getattr(R, name), ref), (name, g)


def test_import_failures_report_the_listing_lines():
    """Each import made to fail in turn, in one process: the line of 'init crypt_main'."""
    code = r"""if True:
        import sys, traceback, types
        for statement in sys.argv[1:]:  # the real modules first, with their attributes
            exec(statement, {})
        for statement in sys.argv[1:]:
            words = statement.split()
            name, saved = words[1], sys.modules.get(words[1])
            if words[0] == "import":
                sys.modules[name] = None
            else:  # the module without the name
                sys.modules[name] = types.ModuleType(name)
                vars(sys.modules[name]).update((k, v) for k, v in vars(saved).items() if k not in (words[3], "__path__"))
            try:
                import crypt_main
                print("imported")
            except ImportError as e:
                print([line for frame, line in traceback.walk_tb(e.__traceback__)
                       if frame.f_code.co_name == "init crypt_main"])
            if saved is None:
                del sys.modules[name]
            else:
                sys.modules[name] = saved
    """
    out = subprocess.run([sys.executable, "-c", code] + [line for _, line in IMPORTS], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    assert out.stdout.splitlines() == ["[%d]" % n for n, _ in IMPORTS], out.stderr
