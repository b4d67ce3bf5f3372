"""Release artefacts: the sdist builds a wheel, the wheel holds only the module
and its typing files, and it installs and imports in a fresh environment."""
import os
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB = "crypt_main-stubs/__init__.pyi"

pytestmark = [pytest.mark.slow, pytest.mark.build]


def run(*cmd, **kw):
    proc = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, **kw)
    assert proc.returncode == 0, proc.stdout
    return proc.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    pytest.importorskip("build", reason="the build frontend is not available on this interpreter")
    out = tmp_path_factory.mktemp("dist")
    # Without --sdist/--wheel, build makes the sdist and then the wheel from
    # that sdist, so a file missing from the sdist breaks the wheel.
    run(sys.executable, "-m", "build", "--outdir", out, ROOT)
    sdists, wheels = list(out.glob("*.tar.gz")), list(out.glob("*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1
    return sdists[0], wheels[0]


def test_wheel_holds_only_the_module_and_its_typing_files(dist):
    with zipfile.ZipFile(str(dist[1])) as whl:
        names = whl.namelist()
        stub = whl.read(STUB).decode("utf-8")
    payload = {n for n in names if not n.split("/")[0].endswith(".dist-info")}
    assert payload == {"crypt_main" + sysconfig.get_config_var("EXT_SUFFIX"), STUB}
    assert stub == (ROOT / "stubs" / STUB).read_text(encoding="utf-8")


def test_wheel_installs_into_a_fresh_venv_and_imports(dist, tmp_path):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", dist[1])
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    check = (
        "import pathlib, crypt_main\n"
        "assert crypt_main.__file__.startswith(%r), crypt_main.__file__\n"
        "assert pathlib.Path(crypt_main.__file__).with_name('crypt_main-stubs').joinpath('__init__.pyi').is_file()\n"
        "print(crypt_main.TarvikCryptMain._base64_encrypt('abc'))\n" % str(venv)
    )
    assert run(python, "-c", check, cwd=str(tmp_path), env=env).strip() == "YWJj"


def test_sdist_holds_the_licence_and_the_wheel_states_it(dist):
    import tarfile

    with tarfile.open(str(dist[0])) as sdist:
        names = {n.split("/", 1)[1] for n in sdist.getnames() if "/" in n}
    assert "LICENSE" in names
    with zipfile.ZipFile(str(dist[1])) as whl:
        meta = whl.read(next(n for n in whl.namelist() if n.endswith(".dist-info/METADATA"))).decode("utf-8")
    headers = [line.split(": ", 1) for line in meta.split("\n\n", 1)[0].splitlines() if ": " in line]
    classifiers = {v for k, v in headers if k == "Classifier"}
    assert ("License", "MIT") in {(k, v) for k, v in headers} or ("License-Expression", "MIT") in {(k, v) for k, v in headers}
    assert {"License :: OSI Approved :: MIT License", "Topic :: Security :: Cryptography",
            "Programming Language :: Python :: Implementation :: CPython"} <= classifiers
    assert {"Programming Language :: Python :: 3.%d" % m for m in range(7, 16)} <= classifiers
    assert not any(k == "Requires-Python" and "<" in v for k, v in headers)


def test_twine_accepts_both(dist, tmp_path):
    # In a venv of its own: twine brings cffi, which would change the backend
    # that pycryptodome loads for every test after it.
    venv = tmp_path / "twine"
    run(sys.executable, "-m", "venv", venv)
    run(venv / "bin" / "python", "-m", "pip", "install", "-q", "twine")
    run(venv / "bin" / "python", "-m", "twine", "check", "--strict", dist[0], dist[1])
