"""Import of crypt_main: one module per process, failures that leave nothing
behind, the interpreter checks, and what the shared object links against."""

import base64
import importlib
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import zipfile

import pytest

import crypt_main

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUNNING = "%d.%d" % sys.version_info[:2]


def run(code, *options, env=None):
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)


def test_one_module_object(monkeypatch):
    cls = crypt_main.TarvikCryptMain
    assert importlib.import_module("crypt_main") is crypt_main
    monkeypatch.setattr(crypt_main, "base64", "rebound")
    # reload finds the module executed already and rebuilds nothing
    assert importlib.reload(crypt_main) is crypt_main
    assert crypt_main.TarvikCryptMain is cls and crypt_main.base64 == "rebound"
    monkeypatch.delitem(sys.modules, "crypt_main")
    assert importlib.import_module("crypt_main") is crypt_main
    assert crypt_main.TarvikCryptMain is cls


def test_module_attributes():
    spec = crypt_main.__spec__
    assert (crypt_main.__name__, spec.name, crypt_main.__package__) == ("crypt_main", "crypt_main", "")
    assert crypt_main.__file__ == spec.origin
    assert (crypt_main.__loader__.name, crypt_main.__loader__.path) == ("crypt_main", spec.origin)
    assert isinstance(crypt_main.__doc__, str) and crypt_main.__doc__
    assert not hasattr(crypt_main, "__path__")


def test_no_warning_when_built_for_this_interpreter():
    result = run("import crypt_main", "-W", "error::RuntimeWarning")
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("block, restore, check, line", [
    ("sys.modules['jwt'] = None",
     "del sys.modules['jwt']",
     "type(e) is ModuleNotFoundError and e.name == 'jwt'", 21),
    ("import types, Crypto.Cipher as real\nfrom Crypto.Cipher import AES\n"
     "sys.modules['Crypto.Cipher'] = stub = types.ModuleType('Crypto.Cipher')\nstub.AES = AES",
     "sys.modules['Crypto.Cipher'] = real",
     "type(e) is ImportError and str(e) == 'cannot import name DES'", 24),
    # the class is built after the globals; a failure there names the method's line
    ("import builtins, base64, hashlib, hmac, jwt, rsa, Crypto.Cipher.AES, Crypto.Cipher.DES, Crypto.Util.Padding\n"
     "real = builtins.staticmethod\n"
     "def refuse(f): raise ValueError(f.__name__)\nbuiltins.staticmethod = refuse",
     "builtins.staticmethod = real",
     "type(e) is ValueError and str(e) == '_aes_ecb_encrypt'", 52),
], ids=["jwt absent", "DES missing", "class construction"])
def test_failed_import_leaves_nothing_behind(block, restore, check, line):
    code = ("import sys, traceback\n%s\ntry:\n    import crypt_main\nexcept Exception as e:\n"
            "    print(%s, [f[:3] for f in traceback.extract_tb(e.__traceback__) if f[0] == 'crypt_main.py'],\n"
            "          'crypt_main' in sys.modules)\n"
            "%s\nimport crypt_main\nprint(crypt_main.TarvikCryptMain._base64_encrypt('abc'))\n")
    result = run(code % (block, check, restore))
    assert result.stdout.splitlines() == [
        "True [('crypt_main.py', %d, 'init crypt_main')] False" % line, "YWJj"], result.stderr


def test_imported_under_another_name():
    result = run("""
        import importlib.util
        spec = importlib.util.spec_from_file_location("pkg.crypt_main", %r)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        C = module.TarvikCryptMain
        print(module.__name__, module.__package__, C.__module__, C._base64_encrypt.__module__)
    """ % crypt_main.__file__)
    assert result.stdout.split() == ["pkg.crypt_main", "pkg", "crypt_main", "crypt_main"], result.stderr


def test_execution_of_another_module_object():
    result = run("""
        import importlib.util
        spec = importlib.util.find_spec("crypt_main")
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        spec.loader.exec_module(first)
        print(importlib.util.module_from_spec(spec) is first, hasattr(second, "TarvikCryptMain"))
    """)
    assert result.stdout.splitlines() == [
        "Module 'crypt_main' has already been imported. Re-initialisation is not supported.",
        "True False"], result.stderr


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    result = run("""
        import _testcapi, crypt_main
        print(_testcapi.run_in_subinterp("import crypt_main"))
        print(crypt_main.TarvikCryptMain._base64_encrypt("abc"))
    """)
    assert result.stdout.splitlines() == ["-1", "YWJj"]
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in result.stderr


def _prefix_of_running():
    # a built version whose text is a prefix of the running one's or the other
    # way round (3.1 and 3.11, 3.70 and 3.7): the numbers must be compared
    minor = sys.version_info[1]
    return "3.%d" % (minor // 10) if minor >= 10 else "3.%d0" % minor


@pytest.mark.slow
@pytest.mark.build
@pytest.mark.parametrize("built", ["3.6", _prefix_of_running()])
def test_version_mismatch_warns(tmp_path, built):
    # CMAKE_ARGS reaches the build with any pip (3.7's has no --config-settings)
    env = dict(os.environ, CMAKE_ARGS="-DCRYPT_MAIN_BUILT_VERSION=" + built)
    subprocess.run([sys.executable, "-m", "pip", "wheel", str(ROOT), "-w", str(tmp_path), "--no-deps", "-q"],
                   check=True, env=env)
    with zipfile.ZipFile(next(tmp_path.glob("*.whl"))) as wheel:
        wheel.extractall(str(tmp_path), [n for n in wheel.namelist() if n.endswith(".so")])
    result = run("""
        import sys, warnings
        sys.path.insert(0, %r)
        try:
            import crypt_main
        except RuntimeWarning as e:
            print("refused:", e, "crypt_main" in sys.modules)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import crypt_main
        print([(w.category.__name__, str(w.message)) for w in caught])
        print(crypt_main.__file__.startswith(sys.path[0]), crypt_main.TarvikCryptMain._base64_encrypt("abc"))
    """ % str(tmp_path), "-W", "error::RuntimeWarning")
    message = "compile time Python version %s of module 'crypt_main' does not match runtime version %s" % (
        built, RUNNING)
    assert result.stdout.splitlines() == [
        "refused: %s False" % message, str([("RuntimeWarning", message)]), "True YWJj"], result.stderr


def _readelf(*options):
    if not shutil.which("readelf"):
        pytest.skip("readelf is not installed")
    return subprocess.run(["readelf", "-W", *options, crypt_main.__file__], stdout=subprocess.PIPE,
                          universal_newlines=True, check=True).stdout.splitlines()


@pytest.mark.skipif(os.environ.get("CRYPT_MAIN_SANITIZED") == "1", reason="the sanitized build needs its runtime")
def test_needs_only_libc():
    needed = [line.split("[")[1].rstrip("]") for line in _readelf("-d") if "(NEEDED)" in line]
    assert needed == ["libc.so.6"]


def test_exports_only_the_init_function():
    defined = [line.split() for line in _readelf("--dyn-syms")]
    exported = [f[7] for f in defined if len(f) >= 8 and f[4] in ("GLOBAL", "WEAK", "UNIQUE") and f[6] != "UND"]
    assert exported == ["PyInit_crypt_main"]
