"""Every call looks its globals, library attributes and methods up afresh:
a change made between calls, after any number of calls, is seen at once."""

import base64
import builtins
import gc
import hashlib
import sys
import traceback
import types
import weakref

import pytest

import crypt_main

C = crypt_main.TarvikCryptMain
KEY = "0123456789abcdef"


def warm(call, times=5):
    for _ in range(times):
        call()


def test_rebound_and_deleted_global_after_warm_calls(monkeypatch):
    warm(lambda: C._base64_encrypt("abc"))
    fake = types.SimpleNamespace(encodebytes=lambda data: b"Zg==\n")
    monkeypatch.setattr(crypt_main, "base64", fake)
    assert C._base64_encrypt("abc") == "Zg=="
    monkeypatch.delattr(crypt_main, "base64")
    with pytest.raises(NameError, match="^name 'base64' is not defined$"):
        C._base64_encrypt("abc")
    # found in the builtins, then changed there
    monkeypatch.setattr(builtins, "base64", fake, raising=False)
    warm(lambda: C._base64_encrypt("abc"))
    monkeypatch.setattr(builtins, "base64", base64)
    assert C._base64_encrypt("abc") == "YWJj"
    # the module's own shadows the builtin again
    monkeypatch.setattr(crypt_main, "base64", fake, raising=False)
    assert C._base64_encrypt("abc") == "Zg=="


def test_library_module_attribute_changed_after_warm_calls(monkeypatch):
    warm(lambda: C._base64_encrypt("abc"))
    monkeypatch.setattr(base64, "encodebytes", lambda data: b"cGF0Y2hlZA==\n")
    assert C._base64_encrypt("abc") == "cGF0Y2hlZA=="
    monkeypatch.delattr(base64, "encodebytes")
    with pytest.raises(AttributeError):
        C._base64_encrypt("abc")
    monkeypatch.undo()
    assert C._base64_encrypt("abc") == "YWJj"


def stand_in_for_hashlib(digest_type):
    module = types.ModuleType("hashlib")
    module.sha1 = digest_type
    return module


@pytest.mark.parametrize("module_type", [types.ModuleType, type("Lazy", (types.ModuleType,), {})])
def test_another_module_with_the_same_names(monkeypatch, module_type):
    warm(lambda: C._sha1_encrypt("abc", "lower"))

    class Digest:
        __slots__ = ()

        def update(self, data):
            pass

        def hexdigest(self):
            return "from the stand-in"

    module = module_type("hashlib")
    module.sha1 = Digest
    monkeypatch.setattr(crypt_main, "hashlib", module)
    assert C._sha1_encrypt("abc", None) == "from the stand-in"
    monkeypatch.setattr(crypt_main, "hashlib", hashlib)
    assert C._sha1_encrypt("abc", None) == hashlib.sha1(b"abc").hexdigest()


def test_module_subclass_attribute_hook_is_asked_every_time(monkeypatch):
    asked = []

    class Hooked(types.ModuleType):
        def __getattribute__(self, name):
            asked.append(name)
            return getattr(hashlib, name)

    monkeypatch.setattr(crypt_main, "hashlib", Hooked("hashlib"))
    asked.clear()
    for _ in range(3):
        assert C._sha1_encrypt("abc", None) == hashlib.sha1(b"abc").hexdigest()
    assert asked == ["sha1"] * 3


def test_methods_of_a_changed_or_other_type(monkeypatch):
    class Digest:
        __slots__ = ()

        def update(self, data):
            pass

        def hexdigest(self):
            return "first"

    class Other(Digest):
        __slots__ = ()

        def hexdigest(self):
            return "subclass"

    monkeypatch.setattr(crypt_main, "hashlib", stand_in_for_hashlib(Digest))
    warm(lambda: C._sha1_encrypt("abc", None))
    assert C._sha1_encrypt("abc", None) == "first"
    Digest.hexdigest = lambda self: "changed"
    assert C._sha1_encrypt("abc", None) == "changed"
    del Digest.hexdigest
    with pytest.raises(AttributeError):
        C._sha1_encrypt("abc", None)
    monkeypatch.setattr(crypt_main, "hashlib", stand_in_for_hashlib(Other))
    assert C._sha1_encrypt("abc", None) == "subclass"


def test_instance_attribute_shadows_the_method(monkeypatch):
    class Digest:
        def update(self, data):
            pass

        def hexdigest(self):
            return "from the class"

    made = []

    def make():
        digest = Digest()
        if len(made) % 2:
            digest.hexdigest = lambda: "from the instance"
        made.append(digest)
        return digest

    monkeypatch.setattr(crypt_main, "hashlib", stand_in_for_hashlib(make))
    results = [C._sha1_encrypt("abc", None) for _ in range(6)]
    assert results == ["from the class", "from the instance"] * 3


def test_cipher_method_from_the_instance(monkeypatch):
    class Cryptor:
        def encrypt(self, data):
            return b"class:" + data

    def new(key, mode):
        cryptor = Cryptor()
        if key == b"instance-key-16b":
            cryptor.encrypt = lambda data: b"instance:" + data
        return cryptor

    aes = types.ModuleType("AES")
    aes.new, aes.MODE_ECB, aes.block_size = new, 1, 16
    monkeypatch.setattr(crypt_main, "AES", aes)
    monkeypatch.setattr(crypt_main, "pad", lambda data, size: data)
    warm(lambda: C._aes_ecb_encrypt("v", KEY))
    assert C._aes_ecb_encrypt("v", KEY) == b"class:v"
    assert C._aes_ecb_encrypt("v", "instance-key-16b") == b"instance:v"


def entry_frames(exc):
    tb, frames = exc.__traceback__, []
    while tb:
        if tb.tb_frame.f_code.co_filename == "crypt_main.py":
            frames.append((tb.tb_frame, tb.tb_lineno))
        tb = tb.tb_next
    return frames


def test_repeated_failures_keep_their_entries():
    caught = []
    for value in (b"bytes", None, b"again"):
        for e in caught:
            traceback.clear_frames(e.__traceback__)  # as test runners do
        try:
            C._base64_encrypt(value)  # fails in the body
        except AttributeError as e:
            caught.append(e)
        try:
            C._base64_encrypt()  # fails in the binding
        except TypeError as e:
            caught.append(e)
    lines = [[line for _, line in entry_frames(e)] for e in caught]
    assert lines == [[80], [78]] * 3
    for e in caught:
        (frame, line), = entry_frames(e)
        assert frame.f_code.co_name == "crypt_main.TarvikCryptMain._base64_encrypt"
        assert frame.f_globals is crypt_main.__dict__
        assert traceback.extract_tb(e.__traceback__)[-1].lineno == line


def test_failure_entry_does_not_keep_the_caller_alive():
    class Marker:
        pass

    def caller():
        marker = Marker()
        ref = weakref.ref(marker)
        try:
            C._base64_encrypt(b"bytes")
        except AttributeError as e:
            error = e
        return ref, error

    ref, error = caller()
    (frame, _), = entry_frames(error)
    if sys.version_info >= (3, 11):
        assert frame.f_back is None
    del error, frame
    gc.collect()
    assert ref() is None
