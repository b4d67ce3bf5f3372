"""Wycheproof's HMAC-SHA256 vectors against the module's own SHA-256 and
HMAC (src/tokens/sha256.*), with the portable block function and with the
SHA extensions', built from this source tree."""

import binascii
import json
import os
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
VECTORS = os.path.join(ROOT, "tests", "vectors", "wycheproof", "hmac_sha256_test.json")


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    exe = str(tmp_path_factory.mktemp("hmac") / "driver")
    try:
        subprocess.run(["g++", "-O2", "-std=c++17", "-I" + os.path.join(ROOT, "src"),
                        os.path.join(HERE, "hmac_driver.cpp"), "-o", exe], check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C++ compiler")
    return exe


@pytest.mark.build
@pytest.mark.parametrize("blocks", ["portable", "sha-ni"])
def test_vectors(driver, blocks):
    if not os.path.exists(VECTORS):
        pytest.skip("no Wycheproof vectors at " + VECTORS)
    with open(VECTORS) as f:
        cases = [(group["tagSize"] // 8, test) for group in json.load(f)["testGroups"] for test in group["tests"]]
    text = "".join("%s %s\n" % (test["key"] or "-", test["msg"] or "-") for _, test in cases)
    run = subprocess.run([driver, blocks], input=text, stdout=subprocess.PIPE, universal_newlines=True)
    if run.returncode == 77:
        pytest.skip("no SHA extensions on this CPU")
    tags = run.stdout.split()
    assert run.returncode == 0 and len(tags) == len(cases)
    wrong = [test["tcId"] for (size, test), tag in zip(cases, tags)
             if (binascii.a2b_hex(tag)[:size] == binascii.a2b_hex(test["tag"])) != (test["result"] == "valid")]
    assert not wrong
