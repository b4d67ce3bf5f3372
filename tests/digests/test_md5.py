import hashlib
import hmac

import pytest

import crypt_main

# RFC 1321, appendix A.5
MD5_VECTORS = [
    ("", "d41d8cd98f00b204e9800998ecf8427e"),
    ("a", "0cc175b9c0f1b6a831c399e269772661"),
    ("abc", "900150983cd24fb0d6963f7d28e17f72"),
    ("message digest", "f96b697d7cb7938d525a2f31aaf161d0"),
    ("abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"),
    ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"),
    ("1234567890" * 8, "57edf4a22be3c955ac49da2e2107b67a"),
]

# RFC 2202, section 2: (key, data, HMAC-MD5)
HMAC_VECTORS = [
    (b"\x0b" * 16, b"Hi There", "9294727a3638bb1c13f48ef8158bfc9d"),
    (b"Jefe", b"what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"),
    (b"\xaa" * 16, b"\xdd" * 50, "56be34521d144c88dbb8c733f0e8b3f6"),
    (bytes(range(1, 26)), b"\xcd" * 50, "697eaf0aca3a3aea3a75164746ffaa79"),
    (b"\x0c" * 16, b"Test With Truncation", "56461ef2342edc00f9bab995690efd4c"),
    (b"\xaa" * 80, b"Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"),
    (b"\xaa" * 80, b"Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
     "6f630fad67cda0ee1fb1f562db3aa53e"),
]


def hmac_of(data, key):
    return hmac.new(key, data, hashlib.md5).digest()


def last_entry(excinfo):
    tb = excinfo.tb
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_name, tb.tb_lineno


@pytest.mark.parametrize("text, digest", MD5_VECTORS)
def test_md5_rfc1321(C, text, digest):
    assert C._md5_encrypt(text, None) == digest
    assert C._md5_encrypt(text.encode(), "upper") == digest.upper()


@pytest.mark.parametrize("key, data, mac", HMAC_VECTORS)
def test_hmac_md5_rfc2202(C, key, data, mac):
    assert C._md5_hmac_encrypt(data, key, None) == bytes.fromhex(mac)


@pytest.mark.parametrize("text", ["", "héllo wörld", "日本語テキスト", "emoji \U0001F600"])
def test_text_is_hashed_as_its_utf8_bytes(C, text):
    data = text.encode("utf-8")
    assert C._md5_encrypt(text, None) == C._md5_encrypt(data, None) == hashlib.md5(data).hexdigest()
    mac = C._md5_hmac_encrypt(data, "ключ", None)
    assert mac == C._md5_hmac_encrypt(text, "ключ".encode(), None) == C._md5_hmac_encrypt(text, "ключ", None)
    assert len(mac) == 16


@pytest.mark.parametrize("bad", [bytearray(b"abc"), memoryview(b"abc"), None, 5, [b"a"]])
def test_non_bytes_without_encode_refused(C, bad):
    with pytest.raises(AttributeError):
        C._md5_encrypt(bad, None)
    with pytest.raises(AttributeError):
        C._md5_hmac_encrypt(bad, b"k", None)
    with pytest.raises(AttributeError):
        C._md5_hmac_encrypt(b"v", bad, None)


def test_conversion_failures_and_their_lines(C):
    with pytest.raises(UnicodeEncodeError) as e:
        C._md5_encrypt("\udc80", None)
    assert last_entry(e) == ("crypt_main.TarvikCryptMain._md5_encrypt", 103)
    # HMAC converts the value, then the key
    with pytest.raises(UnicodeEncodeError) as e:
        C._md5_hmac_encrypt("\ud800", None, None)
    assert last_entry(e) == ("crypt_main.TarvikCryptMain._md5_hmac_encrypt", 118)
    with pytest.raises(AttributeError) as e:
        C._md5_hmac_encrypt(b"v", None, None)
    assert last_entry(e)[1] == 119


def test_hmac_passes_hashlib_md5_itself_read_at_call_time(C, monkeypatch):
    calls = []

    class FakeHmac:
        @staticmethod
        def new(*args, **kwargs):
            calls.append((args, kwargs))
            return hashlib.sha1()  # something with digest()

    sentinel = object()
    monkeypatch.setattr(crypt_main, "hmac", FakeHmac)
    monkeypatch.setattr(crypt_main, "hashlib", type("H", (), {"md5": sentinel}))
    assert C._md5_hmac_encrypt("v", "k", None) == hashlib.sha1().digest()
    assert calls == [((b"k", b"v"), {"digestmod": sentinel})]


def test_missing_hashlib_is_reported_before_the_value(C, monkeypatch):
    monkeypatch.delattr(crypt_main, "hashlib")
    with pytest.raises(NameError, match="name 'hashlib' is not defined") as e:
        C._md5_encrypt(None, None)
    assert last_entry(e) == ("crypt_main.TarvikCryptMain._md5_encrypt", 102)
    with pytest.raises(AttributeError):  # hmac converts first, so the value fails
        C._md5_hmac_encrypt(None, b"k", None)
    with pytest.raises(NameError, match="'hashlib'") as e:
        C._md5_hmac_encrypt(b"v", b"k", None)
    assert last_entry(e)[1] == 120
    monkeypatch.delattr(crypt_main, "hmac")
    with pytest.raises(NameError, match="'hmac'"):  # hmac.new is read before hashlib.md5
        C._md5_hmac_encrypt(b"v", b"k", None)


def shift_letters(raw, first, last, by):
    return bytes(b + by if first <= b <= last else b for b in raw)


@pytest.mark.parametrize("key, data, mac", HMAC_VECTORS)
def test_hmac_case_rule_changes_the_raw_bytes(C, key, data, mac):
    raw = bytes.fromhex(mac)
    assert C._md5_hmac_encrypt(data, key, "upper") == shift_letters(raw, 0x61, 0x7A, -0x20)
    assert C._md5_hmac_encrypt(data, key, "lower") == shift_letters(raw, 0x41, 0x5A, +0x20)
    assert C._md5_hmac_encrypt(data, key, "Upper") == raw


def test_hmac_upper_literal(C):
    # RFC 2202 case 2, b"u\x0cx>j\xb0\xb5\x03\xea\xa8n1\n]\xb78", with u, x, j, n raised
    assert C._md5_hmac_encrypt("what do ya want for nothing?", "Jefe", "upper") == \
        b"U\x0cX>J\xb0\xb5\x03\xea\xa8N1\n]\xb78"


def test_empty_key_and_empty_message(C):
    assert C._md5_hmac_encrypt("", "", None) == C._md5_hmac_encrypt(b"", b"", None) == hmac_of(b"", b"")
    assert C._md5_hmac_encrypt(fmt=None, key="k", value="v") == C._md5_hmac_encrypt("v", "k", None)
