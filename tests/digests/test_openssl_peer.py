import shutil
import subprocess

import pytest

pytestmark = pytest.mark.peer

TEXTS = ["", "abc", "héllo wörld 日本語", "line\nbreaks\r\n and\ttabs", "x" * 100_000]
METHODS = [("_md5_encrypt", "-md5"), ("_sha1_encrypt", "-sha1"), ("_sha256_encrypt", "-sha256"),
           ("_sha384_encrypt", "-sha384"), ("_sha512_encrypt", "-sha512")]


def openssl_dgst(*options, data):
    exe = shutil.which("openssl")
    if not exe:
        pytest.skip("openssl is not installed")
    out = subprocess.run([exe, "dgst", *options], input=data, stdout=subprocess.PIPE, check=True).stdout
    return out.decode("ascii").rsplit("= ", 1)[1].strip()  # "MD5(stdin)= 9001..."


@pytest.mark.parametrize("method, option", METHODS)
@pytest.mark.parametrize("text", TEXTS)
def test_hex_digests_match_openssl(C, method, option, text):
    expected = openssl_dgst(option, data=text.encode("utf-8"))
    assert getattr(C, method)(text, "lower") == expected
    assert getattr(C, method)(text, "upper") == expected.upper()


@pytest.mark.parametrize("key", ["Jefe", "ключ", "k" * 100])
@pytest.mark.parametrize("text", TEXTS[1:4])
def test_hmac_md5_matches_openssl(C, key, text):
    expected = openssl_dgst("-md5", "-mac", "HMAC", "-macopt", "hexkey:" + key.encode().hex(),
                            data=text.encode("utf-8"))
    assert C._md5_hmac_encrypt(text, key, None).hex() == expected
