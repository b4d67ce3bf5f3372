"""AES-ECB, AES-CBC and DES-ECB: UTF-8 text, text keys, PKCS#7 padding, raw ciphertext."""
import pytest
from Crypto.Cipher import AES, DES

import crypt_main

C = crypt_main.TarvikCryptMain
IV = "fedcba9876543210"
# name, a valid key, IV arguments, block size, library module, mode, first lines of encrypt and decrypt
CIPHERS = [
    ("aes_ecb", "0123456789abcdef", (), 16, AES, "MODE_ECB", (52, 58)),
    ("aes_cbc", "0123456789abcdef", (IV,), 16, AES, "MODE_CBC", (65, 71)),
    ("des", "12345678", (), 8, DES, "MODE_ECB", (88, 94)),
]
IDS = [c[0] for c in CIPHERS]


def method(name, direction):
    return getattr(C, f"_{name}_{direction}")


@pytest.mark.parametrize("cipher", CIPHERS, ids=IDS)
@pytest.mark.parametrize("text", ["", "x" * 7, "y" * 8, "z" * 15, "w" * 16, "é" * 4, "é" * 8, "中文 ✓ 🚀" * 9])
def test_round_trip_and_padded_length(cipher, text):
    name, key, iv, block = cipher[:4]
    n = len(text.encode("utf-8"))
    ciphertext = method(name, "encrypt")(text, key, *iv)
    assert type(ciphertext) is bytes and len(ciphertext) == block * (n // block + 1)
    assert method(name, "encrypt")(text, key, *iv) == ciphertext
    assert method(name, "decrypt")(ciphertext, key, *iv) == text
    assert method(name, "decrypt")(bytearray(ciphertext), key, *iv) == text  # any bytes-like ciphertext


@pytest.mark.parametrize("cipher", CIPHERS, ids=IDS)
def test_equal_blocks_show_in_ecb_only(cipher):
    name, key, iv, block = cipher[:4]
    ciphertext = method(name, "encrypt")("ab" * block, key, *iv)
    assert (ciphertext[:block] == ciphertext[block:2 * block]) == (name != "aes_cbc")


def test_cbc_iv_changes_every_block():
    one, other = (C._aes_cbc_encrypt("q" * 40, "0123456789abcdef", iv) for iv in (IV, "0" + IV[1:]))
    assert all(one[i:i + 16] != other[i:i + 16] for i in range(0, 48, 16))


def test_des_ignores_parity_bits():
    assert C._des_encrypt("same text", "12345678") == C._des_encrypt("same text", "03254769")


KEYS = {  # lengths count UTF-8 bytes
    "aes": (["k" * 24, "k" * 32, "é" * 8], ["", "k" * 15, "k" * 33, "é" + "k" * 15]),
    "des": (["é" * 4], ["", "k" * 7, "k" * 9, "k" * 16, "é" + "k" * 7]),
}


@pytest.mark.parametrize("name, good, key", [
    (c[0], good, key) for c in CIPHERS for good in (True, False) for key in KEYS[c[0][:3]][not good]])
def test_key_lengths(name, good, key):
    iv = (IV,) if name == "aes_cbc" else ()
    if good:
        assert method(name, "decrypt")(method(name, "encrypt")("text", key, *iv), key, *iv) == "text"
    else:
        for direction, value in (("encrypt", "v"), ("decrypt", b"\0" * 16)):
            with pytest.raises(ValueError):
                method(name, direction)(value, key, *iv)


@pytest.mark.parametrize("iv, exc", [
    ("", ValueError), ("i" * 15, ValueError), ("i" * 17, ValueError), ("é" + "i" * 15, ValueError),
    (IV.encode(), AttributeError),
])
def test_cbc_bad_iv(entries, iv, exc):
    with pytest.raises(exc):
        C._aes_cbc_encrypt("v", "k" * 16, iv)
    with pytest.raises(exc) as excinfo:
        C._aes_cbc_decrypt(b"\0" * 16, "k" * 16, iv)
    assert entries(excinfo) == [("crypt_main.TarvikCryptMain._aes_cbc_decrypt", 72)]


def raw_encrypt(cipher, data):
    """Ciphertext of `data` as it is (no padding added), made by the library directly."""
    name, key, iv, _, lib, mode = cipher[:6]
    return lib.new(key.encode(), getattr(lib, mode), *(v.encode() for v in iv)).encrypt(data)


# direction, value (or a function of the cipher), key (None: the valid one), exception, statement
FAILURES = {
    "key bytes": ("encrypt", "v", b"k" * 16, AttributeError, 1),
    "key bytes, decrypting": ("decrypt", b"\0" * 16, b"k" * 16, AttributeError, 1),
    "bad key before bytes value": ("encrypt", b"v", "short", ValueError, 1),
    "bad key before str value": ("decrypt", "v", "short", ValueError, 1),
    "value bytes": ("encrypt", b"v", None, AttributeError, 2),
    "value lone surrogate": ("encrypt", "a\udc80", None, UnicodeEncodeError, 2),
    "ciphertext str": ("decrypt", "some text", None, TypeError, 2),
    "ciphertext hex str": ("decrypt", "00" * 16, None, TypeError, 2),
    "ciphertext ragged": ("decrypt", lambda c: b"x" * (c[3] + 1), None, ValueError, 2),
    "ciphertext empty": ("decrypt", b"", None, ValueError, 3),
    "bad padding": ("decrypt", lambda c: raw_encrypt(c, b"\0" * c[3]), None, ValueError, 3),
    "not utf-8": ("decrypt", lambda c: raw_encrypt(c, b"\xff" + bytes([c[3] - 1]) * (c[3] - 1)), None,
                  UnicodeDecodeError, 3),
}


@pytest.mark.parametrize("cipher", CIPHERS, ids=IDS)
@pytest.mark.parametrize("case", FAILURES)
def test_failures(entries, cipher, case):
    direction, value, key, exc, statement = FAILURES[case]
    name, good_key, iv = cipher[:3]
    with pytest.raises(exc) as excinfo:
        method(name, direction)(value(cipher) if callable(value) else value, key or good_key, *iv)
    line = cipher[6][direction == "decrypt"] + statement
    assert entries(excinfo) == [(f"crypt_main.TarvikCryptMain._{name}_{direction}", line)]


def test_cbc_key_encoded_before_iv_and_both_before_the_cipher():
    with pytest.raises(UnicodeEncodeError):
        C._aes_cbc_encrypt("v", "\udc80" * 16, IV.encode())
    with pytest.raises(AttributeError):
        C._aes_cbc_decrypt(b"", "short", IV.encode())


@pytest.mark.parametrize("cipher", CIPHERS, ids=IDS)
@pytest.mark.parametrize("direction", ["encrypt", "decrypt"])
def test_steps_read_the_globals_in_order(spy, cipher, direction):
    name, key, iv, _, lib, mode = cipher[:6]
    mod = lib.__name__.rsplit(".", 1)[1]
    value = spy.text("value", "text") if direction == "encrypt" else method(name, "encrypt")("text", key, *iv)
    for g in (mod, "pad", "unpad"):
        spy.wrap_global(g)
    method(name, direction)(value, spy.text("key", key), *(spy.text("iv", v) for v in iv))
    steps = [f"{mod}.new", "key.encode('utf-8',)", f"{mod}.{mode}"] + ["iv.encode('utf-8',)"] * len(iv) + [f"{mod}.new()"]
    if direction == "encrypt":
        steps += ["cryptor.encrypt", "value.encode('utf-8',)", f"{mod}.block_size", "pad()", "cryptor.encrypt()"]
    else:
        steps += ["cryptor.decrypt", "cryptor.decrypt()", f"{mod}.block_size", "unpad()"]
    assert spy.log == steps


@pytest.mark.parametrize("glob, name, args, line", [
    ("AES", "_aes_ecb_encrypt", ("v", "0123456789abcdef"), 53),
    ("pad", "_aes_cbc_encrypt", ("v", "0123456789abcdef", IV), 67),
    ("unpad", "_des_decrypt", (C._des_encrypt("v", "12345678"), "12345678"), 97),
])
def test_missing_global_is_name_error(monkeypatch, entries, glob, name, args, line):
    monkeypatch.delattr(crypt_main, glob)
    with pytest.raises(NameError, match=f"^name '{glob}' is not defined$") as excinfo:
        getattr(C, name)(*args)
    assert entries(excinfo) == [(f"crypt_main.TarvikCryptMain.{name}", line)]
