import shutil
import subprocess

import pytest

pytestmark = pytest.mark.peer
TEXTS = ["abc", "", "ä€𝄞", "x" * 21]


def openssl(*args, stdin):
    if not shutil.which("openssl"):
        pytest.skip("openssl is not installed")
    return subprocess.run(["openssl", "pkeyutl", *args, "-pkeyopt", "rsa_padding_mode:pkcs1"],
                          input=stdin, capture_output=True, check=True).stdout


@pytest.mark.parametrize("text", TEXTS)
def test_openssl_both_ways(C, obj, tmp_path, text):
    ct, pub, pri = obj._rsa_encrypt(text)
    (tmp_path / "pri.pem").write_bytes(pri.save_pkcs1())
    (tmp_path / "pub.pem").write_bytes(pub.save_pkcs1())
    assert openssl("-decrypt", "-inkey", str(tmp_path / "pri.pem"), stdin=ct) == text.encode()
    theirs = openssl("-encrypt", "-pubin", "-inkey", str(tmp_path / "pub.pem"), stdin=text.encode())
    assert C._rsa_decrypt(theirs, pri) == text
    assert C._rsa_decrypt(theirs.hex().upper(), pri, True) == text


@pytest.mark.parametrize("text", TEXTS)
def test_ciphertext_is_pkcs1_v15_by_plain_arithmetic(obj, text):
    ct, pub, pri = obj._rsa_encrypt(text, hexs=True)
    c = int(ct, 16)
    assert pri.p * pri.q == pri.n == pub.n
    block = pow(c, pri.d, pri.n).to_bytes(32, "big")
    # 00 02, at least eight nonzero padding bytes, 00, the message
    separator = block.index(0, 2)
    assert block[:2] == b"\x00\x02" and separator >= 10 and 0 not in block[2:separator]
    assert block[separator + 1:] == text.encode()
    assert pow(int.from_bytes(block, "big"), pub.e, pub.n) == c
