"""When the specialised paths run: only while the libraries and the
arguments are what they were written for, only once verified, and never
when the library refuses or the environment says no."""

import subprocess
import sys
import textwrap
import threading

import pytest

import crypt_main
from Crypto.Cipher import AES, DES

C = crypt_main.TarvikCryptMain
KEY, IV, KEY8 = "0123456789abcdef", "fedcba9876543210", "01234567"


class Int(int):
    pass


@pytest.fixture
def generic_calls(monkeypatch):
    """Counts the cipher objects the library's Python layer makes: the
    generic path makes one per call, the specialised path none."""
    calls = []
    for module in (AES, DES):
        real = module._create_base_cipher
        monkeypatch.setattr(module, "_create_base_cipher",
                            lambda parameters, real=real: calls.append(1) or real(parameters))
    return calls


CALLS = {
    "aes_ecb": lambda: C._aes_ecb_decrypt(C._aes_ecb_encrypt("text", KEY), KEY),
    "aes_cbc": lambda: C._aes_cbc_decrypt(C._aes_cbc_encrypt("text", KEY, IV), KEY, IV),
    "des": lambda: C._des_decrypt(C._des_encrypt("text", KEY8), KEY8),
    "php": lambda: C()._php_decrypt(C()._php_encrypt("text", KEY, IV, True), KEY, IV, True),
}

# what each call reads, and a stand-in that behaves the same
REBINDINGS = [
    ("aes_ecb", crypt_main, "AES"), ("aes_ecb", crypt_main, "pad"), ("aes_ecb", crypt_main, "unpad"),
    ("aes_ecb", AES, "new"), ("aes_ecb", AES, "MODE_ECB"), ("aes_ecb", AES, "block_size"),
    ("aes_cbc", AES, "MODE_CBC"), ("des", crypt_main, "DES"), ("des", DES, "new"), ("des", DES, "MODE_ECB"),
    ("des", DES, "block_size"), ("php", crypt_main, "base64"), ("php", C, "_add_to_16"),
]


def stand_in(owner, name):
    value = getattr(owner, name)
    if isinstance(value, int):
        return Int(value)
    if owner is C:
        return staticmethod(lambda text: value(text))
    if callable(value) and not isinstance(value, type(crypt_main)):
        return lambda *args, **kwargs: value(*args, **kwargs)
    proxy = type(crypt_main)(value.__name__)
    proxy.__dict__.update(vars(value))
    return proxy


@pytest.mark.parametrize("call, owner, name", REBINDINGS,
                         ids=["%s-%s" % (c, n) for c, _, n in REBINDINGS])
def test_rebinding_takes_the_generic_path_until_restored(monkeypatch, generic_calls, call, owner, name):
    expected = CALLS[call]()
    generic_calls.clear()
    assert CALLS[call]() == expected and not generic_calls
    monkeypatch.setattr(owner, name, stand_in(owner, name))
    assert CALLS[call]() == expected and generic_calls
    monkeypatch.undo()
    generic_calls.clear()
    assert CALLS[call]() == expected and not generic_calls


def test_subclass_arguments_and_instances_take_the_generic_path(generic_calls):
    class Text(str):
        pass

    class Sub(C):
        pass

    C._aes_ecb_encrypt("text", KEY)
    C()._php_encrypt("text", KEY, IV)
    generic_calls.clear()
    obj = C()
    obj._add_to_16 = C._add_to_16  # an instance's own, even the same function
    for call in (lambda: C._aes_ecb_encrypt(Text("text"), KEY), lambda: C._aes_ecb_encrypt("text", Text(KEY)),
                 lambda: Sub()._php_encrypt("text", KEY, IV), lambda: obj._php_encrypt("text", KEY, IV),
                 lambda: C()._php_encrypt("text", KEY, IV, 1)):
        call()
        assert generic_calls.pop()


def test_threads_give_the_serial_results():
    calls = [lambda i=i: (C._aes_cbc_encrypt("t%d" % i, KEY, IV), C._des_encrypt("t%d" % i, KEY8),
                          C._sha256_encrypt("t%d" % i, "upper"), C._md5_hmac_encrypt("t%d" % i, "k", None),
                          C()._php_encrypt("t%d" % i, KEY, IV, True))
             for i in range(50)]
    serial = [call() for call in calls]
    results = [None] * 8
    start = threading.Barrier(8)

    def work(slot):
        start.wait()
        results[slot] = [call() for _ in range(20) for call in calls][-len(calls):]

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [serial] * 8


def run(code, **env):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True,
                            env=dict(__import__("os").environ, **env))
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_a_library_that_refuses_never_enables_a_path():
    # as a hashlib that forbids MD5 by policy
    states = run("""
        import hashlib
        def md5(*args, **kwargs):
            raise ValueError("[digital envelope routines] unsupported")
        hashlib.md5 = md5
        from crypt_main import TarvikCryptMain as C
        for call in (lambda: C._md5_encrypt("v", None), lambda: C._md5_hmac_encrypt("v", "k", None)) * 3:
            try:
                call()
            except ValueError as e:
                assert "unsupported" in str(e)
            else:
                raise AssertionError("no error")
        print(C._md5_encrypt.__specialised__[0], C._md5_hmac_encrypt.__specialised__[0])
    """)
    assert states == ["disabled", "disabled"]


def test_a_mismatch_leaves_the_path_disabled():
    out = run("""
        from Crypto.Cipher import _mode_ecb
        real = _mode_ecb.EcbMode.encrypt
        _mode_ecb.EcbMode.encrypt = lambda self, data, *args, **kwargs: b"!" + real(self, data)
        from crypt_main import TarvikCryptMain as C
        results = {C._aes_ecb_encrypt("v", "0123456789abcdef")[:1] for _ in range(3)}
        print(C._aes_ecb_encrypt.__specialised__[0], *results)
    """)
    assert out == ["disabled", "b'!'"]


@pytest.mark.parametrize("setting, prelude", [
    ({"CRYPT_MAIN_GENERIC": "1"}, ""),
    ({}, "import Crypto; Crypto.version_info = (99, 0, 0)"),  # a layout nobody checked
], ids=["switched off", "unknown release"])
def test_paths_that_never_run(setting, prelude):
    out = run("""
        %s
        from crypt_main import TarvikCryptMain as C
        for _ in range(3):
            assert C._des_decrypt(C._des_encrypt("v", "01234567"), "01234567") == "v"
            assert C._sha1_encrypt("abc", None) == "a9993e364706816aba3e25717850c26c9cd0d89d"
        print(C._des_encrypt.__specialised__[0], C._sha1_encrypt.__specialised__[0])
    """ % prelude, **setting)
    assert out == ["unverified", "unverified"]
