import hashlib
import types

import pytest

import crypt_main

MESSAGE_448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"

# FIPS 180 examples: "abc", the empty message, the 448-bit message, a million 'a'.
SHA_VECTORS = {
    "_sha1_encrypt": [
        "a9993e364706816aba3e25717850c26c9cd0d89d",
        "da39a3ee5e6b4b0d3255bfef95601890afd80709",
        "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
        "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
    ],
    "_sha256_encrypt": [
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
    ],
    "_sha384_encrypt": [
        "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7",
        "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b",
        "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b",
        "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985",
    ],
    "_sha512_encrypt": [
        "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
        "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
        "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
        "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
        "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
        "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445",
        "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
        "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b",
    ],
}
MESSAGES = ["abc", "", MESSAGE_448, "a" * 1_000_000]
CASES = [(m, i, d) for m, ds in SHA_VECTORS.items() for i, d in enumerate(ds)]
# method, constructor, first line of the method
MEMBERS = [("_sha1_encrypt", "sha1", 175), ("_sha256_encrypt", "sha256", 188),
           ("_sha384_encrypt", "sha384", 201), ("_sha512_encrypt", "sha512", 214)]


@pytest.mark.parametrize("method, index, digest", CASES)
def test_fips180_vectors(C, method, index, digest):
    assert getattr(C, method)(MESSAGES[index], None) == digest
    assert getattr(C, method)(MESSAGES[index], "upper") == digest.upper()


@pytest.mark.parametrize("method, name, line", MEMBERS)
@pytest.mark.parametrize("text", ["héllo wörld", "日本語", "\U0001F600" * 100])
def test_text_is_digested_as_utf8_and_bytes_are_refused(C, method, name, line, text):
    data = text.encode("utf-8")
    assert getattr(C, method)(text, "lower") == hashlib.new(name, data).hexdigest()
    assert C._md5_encrypt(text, None) == C._md5_encrypt(data, None)
    with pytest.raises(AttributeError) as e:
        getattr(C, method)(data, None)
    tb = e.tb
    while tb.tb_next:
        tb = tb.tb_next
    assert (tb.tb_frame.f_code.co_name, tb.tb_lineno) == ("crypt_main.TarvikCryptMain." + method, line + 2)


@pytest.mark.parametrize("method, name, line", MEMBERS)
@pytest.mark.parametrize("bad", [bytearray(b"a"), memoryview(b"a"), None, 1])
def test_values_without_encode_refused(C, monkeypatch, method, name, line, bad):
    with pytest.raises(AttributeError):
        getattr(C, method)(bad, None)
    monkeypatch.delattr(crypt_main, "hashlib")  # the digest object is made first
    with pytest.raises(NameError, match="name 'hashlib' is not defined"):
        getattr(C, method)(bad, None)


@pytest.mark.parametrize("method", ["_sha1_encrypt", "_md5_encrypt"])
@pytest.mark.parametrize("has_update, error", [(False, AttributeError), (True, UnicodeEncodeError)])
def test_update_is_fetched_before_the_text_is_encoded(monkeypatch, method, has_update, error):
    class Digest:
        if has_update:
            def update(self, data):
                raise AssertionError("not reached")

    monkeypatch.setattr(crypt_main, "hashlib", types.SimpleNamespace(sha1=Digest, md5=Digest))
    with pytest.raises(error):
        getattr(crypt_main.TarvikCryptMain, method)("\ud800", None)
