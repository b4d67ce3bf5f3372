import shutil
import subprocess
import traceback

import pytest

import crypt_main


class Logged:
    """Stands in for a module global: logs each attribute read and call, passing both on."""

    def __init__(self, log, name, target):
        self._log, self._name, self._target = log, name, target

    def __getattr__(self, attr):
        self._log.append(f"{self._name}.{attr}")
        value = getattr(self._target, attr)
        return Logged(self._log, f"{self._name}.{attr}", value) if callable(value) else value

    def __call__(self, *args):
        self._log.append(f"{self._name}()")
        result = self._target(*args)
        return Logged(self._log, "cryptor", result) if self._name.endswith(".new") else result


class Spy:
    def __init__(self, monkeypatch):
        self.log = []
        self._monkeypatch = monkeypatch

    def wrap_global(self, name):
        self._monkeypatch.setattr(crypt_main, name, Logged(self.log, name, getattr(crypt_main, name)))

    def text(self, label, s):
        """A str whose encode calls are logged with their arguments."""
        log = self.log

        class Text(str):
            def encode(self, *args, **kwargs):
                log.append(f"{label}.encode{args}")
                return str(self).encode(*args, **kwargs)

        return Text(s)


@pytest.fixture
def spy(monkeypatch):
    return Spy(monkeypatch)


@pytest.fixture
def entries():
    """The (function, line) entries in crypt_main.py of a raised exception's traceback."""

    def get(excinfo):
        return [(e.name, e.lineno) for e in traceback.extract_tb(excinfo.tb) if e.filename == "crypt_main.py"]

    return get


def _tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


def _run(cmd, data=b""):
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout


@pytest.fixture(scope="session")
def php():
    """Runs PHP code with string arguments ($argv[1:]) and returns its output bytes."""
    exe = _tool("php")
    if _run([exe, "-r", 'echo function_exists("openssl_encrypt") && function_exists("mb_convert_encoding");']) != b"1":
        pytest.skip("php lacks the openssl or mbstring extension")
    return lambda code, *args: _run([exe, "-r", code, "--", *args])


@pytest.fixture(scope="session")
def openssl():
    """`openssl enc` with raw key and IV bytes; DES through the legacy provider on OpenSSL 3."""
    exe = _tool("openssl")
    legacy = []
    if not _run([exe, "version"]).startswith((b"OpenSSL 1.", b"LibreSSL")):
        legacy = ["-provider", "legacy", "-provider", "default"]
        if subprocess.run([exe, "list", "-cipher-algorithms", *legacy], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode:
            legacy = None

    def enc(cipher, data, key, iv=None, decrypt=False):
        cmd = [exe, "enc", "-" + cipher, "-nosalt", "-K", key.hex()] + (["-iv", iv.hex()] if iv else [])
        if cipher.startswith("des"):
            if legacy is None:
                pytest.skip("openssl has no legacy provider for DES")
            cmd += legacy
        return _run(cmd + (["-d"] if decrypt else []), data)

    return enc
