"""The installed type information: mypy reads it, and it matches the module."""
import ast
import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

import crypt_main

pytest.importorskip("mypy", reason="mypy is not available on this interpreter")

# The stubs name rsa's key types; rsa carries its own type information from 4.8 on.
_rsa = importlib.import_module("rsa")
needs_typed_rsa = pytest.mark.skipif(
    not (Path(_rsa.__file__).parent / "py.typed").exists(),
    reason="the installed rsa has no type information (rsa < 4.8)")

HERE = Path(__file__).parent
ERROR = re.compile(r"^(typing_\w+\.py):(\d+): error: ")


def installed_stub():
    stub = Path(crypt_main.__file__).with_name("crypt_main-stubs") / "__init__.pyi"
    assert stub.is_file(), "the stub package is not installed beside the module"
    return stub


def mypy(tmp_path, *args):
    # Run outside the source tree, with no configuration file and a cache of its own.
    cmd = [sys.executable, "-m", "mypy", "--config-file=", "--cache-dir", str(tmp_path / "cache")]
    proc = subprocess.run(cmd + list(args), cwd=str(tmp_path), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    return proc.returncode, proc.stdout


@needs_typed_rsa
def test_mypy_accepts_correct_use_and_reports_every_wrong_one(tmp_path):
    for name in ("typing_good.py", "typing_bad.py"):
        (tmp_path / name).write_text((HERE / name).read_text(encoding="utf-8"), encoding="utf-8")
    rc, out = mypy(tmp_path, "--strict", "--no-error-summary", "typing_good.py", "typing_bad.py")
    reported = {(m.group(1), int(m.group(2))) for m in map(ERROR.match, out.splitlines()) if m}
    bad = (HERE / "typing_bad.py").read_text(encoding="utf-8").splitlines()
    expected = {("typing_bad.py", i) for i, line in enumerate(bad, 1) if "  # error" in line}
    assert rc == 1, out
    assert reported == expected, out


@needs_typed_rsa
def test_stubtest_finds_no_difference_from_the_built_module(tmp_path):
    pytest.importorskip("mypy.stubtest")
    # Outside the source tree, so that no configuration file applies.
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "crypt_main"], cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert proc.returncode == 0, proc.stdout


def test_stub_names_every_global_and_method_as_the_same_object():
    # stubtest passes over names the stub leaves out when they start with an
    # underscore (every method here) and over imported modules: check those.
    tree = ast.parse(installed_stub().read_text(encoding="utf-8"))
    exported, methods = {}, set()
    for node in tree.body:
        if isinstance(node, ast.Import):
            exported.update((a.asname, importlib.import_module(a.name)) for a in node.names if a.asname == a.name)
        elif isinstance(node, ast.ImportFrom):
            source = importlib.import_module(node.module)
            exported.update((a.asname, getattr(source, a.name)) for a in node.names if a.asname == a.name)
        elif isinstance(node, ast.ClassDef):
            exported[node.name] = crypt_main.TarvikCryptMain
            methods = {f.name for f in node.body if isinstance(f, ast.FunctionDef)}

    runtime = {name: value for name, value in vars(crypt_main).items() if not name.startswith("__")}
    assert sorted(exported) == sorted(runtime)
    for name, value in runtime.items():
        assert exported[name] is value, name
    cls = vars(crypt_main.TarvikCryptMain)
    assert methods == {n for n, v in cls.items() if isinstance(v, staticmethod) or callable(v)}
