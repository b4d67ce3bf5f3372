"""What a method object holds and what it leaves to others: its namespace,
the callables it calls, the frames of its traceback entries, weak
references to it."""

import base64
import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

import crypt_main

C = crypt_main.TarvikCryptMain


def test_redefined_types_after_a_type_cache_reset():
    # a class defined again, maybe at the address of the one before, is a new
    # class: its own encode is called
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    for i in range(20):
        clear()

        class Text(str):
            __slots__ = ()

            def encode(self, *args, _i=i, **kwargs):
                return b"%d" % _i

        assert C._base64_encrypt(Text("x")) == base64.b64encode(b"%d" % i).decode()
        del Text
        gc.collect()


def test_callee_that_deletes_itself_from_its_class():
    class Text(str):
        def encode(self, *args, **kwargs):
            del Text.encode
            gc.collect()
            return b"abc"

    assert C._base64_encrypt(Text("x")) == "YWJj"
    assert C._base64_encrypt(Text("abc")) == "YWJj"  # str's own encode now


def test_method_objects_from_a_failed_import_keep_their_namespace():
    result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import builtins, sys
        import base64, binascii, hashlib, hmac, jwt, rsa, time, Crypto.Cipher, Crypto.Util.Padding
        import Crypto.Cipher.AES, Crypto.Cipher.DES  # (imported with cffi, that calls staticmethod too)
        kept, real = [], builtins.staticmethod
        def keeping(function):
            kept.append(function)
            if len(kept) == 3:
                raise RuntimeError("third")
            return real(function)
        builtins.staticmethod = keeping
        try:
            import crypt_main
        except RuntimeError:
            pass
        builtins.staticmethod = real
        assert "crypt_main" not in sys.modules
        encrypt, decrypt = kept[:2]
        namespace = encrypt.__globals__
        assert namespace is decrypt.__globals__ and "AES" in namespace
        ct = encrypt("text", "0123456789abcdef")
        assert decrypt(ct, "0123456789abcdef") == "text"
        import crypt_main
        assert crypt_main.TarvikCryptMain._aes_ecb_encrypt("text", "0123456789abcdef") == ct
        assert crypt_main.__dict__ is not namespace
        print("ok")
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.stdout == "ok\n", result.stderr


def last_frame(call):
    try:
        call()
    except Exception as e:
        tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame


@pytest.mark.parametrize("call", [lambda: C._base64_encrypt(1), lambda: C._base64_encrypt()],
                         ids=["body", "binding"])
def test_each_traceback_entry_has_a_frame_of_its_own(call):
    first, second = last_frame(call), last_frame(call)
    assert first is not second
    assert first.f_code.co_name == "crypt_main.TarvikCryptMain._base64_encrypt"
    assert first.f_globals is crypt_main.__dict__
    assert first.f_locals is not crypt_main.__dict__ and first.f_locals == {}
    first.f_locals["written"] = object()
    assert "written" not in last_frame(call).f_locals and not hasattr(crypt_main, "written")


def test_weak_references():
    function = C.__dict__["_php_encrypt"]
    ref = weakref.ref(function)
    assert ref() is function
    obj = C()
    bound = weakref.WeakMethod(obj._php_encrypt)
    assert bound() == obj._php_encrypt
    del obj
    gc.collect()
    assert bound() is None
