"""How failures leave a method: unchanged, with one entry naming the method."""

import traceback

import pytest

import crypt_main

C = crypt_main.TarvikCryptMain


def frames(exc):
    return [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)]


def test_binding_error_entry_renders_and_is_added_once():
    for _ in range(20):  # the entry's code object is made once and reused
        with pytest.raises(TypeError) as info:
            C._rsa_decrypt()
        assert frames(info.value)[1:] == [("crypt_main.py", 169, "crypt_main.TarvikCryptMain._rsa_decrypt")]
    text = "".join(traceback.format_exception(info.type, info.value, info.tb))
    assert '  File "crypt_main.py", line 169, in crypt_main.TarvikCryptMain._rsa_decrypt\n' in text


@pytest.mark.parametrize("raised", [ValueError("from the library"), KeyboardInterrupt()], ids=type)
def test_exceptions_pass_through_unchanged(monkeypatch, raised):
    class Failing:
        def encodebytes(self, data):
            raise raised

    monkeypatch.setattr(crypt_main, "base64", Failing())
    with pytest.raises(type(raised)) as info:
        C._base64_encrypt("abc")
    assert info.value is raised and info.value.__context__ is None and info.value.__cause__ is None
    # caller, then the method at the failing line, then the code it called
    assert [f[1:] for f in frames(raised)[1:]] == [(80, "crypt_main.TarvikCryptMain._base64_encrypt"),
                                                   (Failing.encodebytes.__code__.co_firstlineno + 1, "encodebytes")]

