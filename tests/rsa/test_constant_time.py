"""Under valgrind's memcheck, with p, q, the CRT exponents, the coefficient
and the blinding pair marked undefined, the decryption's arithmetic (the
blinding update, the blinded power, its CRT) and the CRT inverse of a first
blinding factor take no branch and read no address that depends on them,
for keys of 256, 2048 and 4096 bits; a branch on p is caught."""

import os
import random
import shutil
import subprocess

import pytest
import rsa
import rsa.common

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

pytestmark = [pytest.mark.build, pytest.mark.slow,
              pytest.mark.skipif(not shutil.which("valgrind") or not os.path.exists("/usr/include/valgrind/memcheck.h"),
                                 reason="needs valgrind and its headers")]


@pytest.fixture(scope="module", params=[0, 1], ids=["c-rows", "adx-rows"])
def harness(request, tmp_path_factory):
    """Built with either kind of product row (valgrind runs mulx and
    adcx/adox, but does not report them to the CPU check)."""
    exe = str(tmp_path_factory.mktemp("ct") / "harness")
    src = os.path.join(ROOT, "src")
    try:
        subprocess.run(["g++", "-O2", "-g", "-std=c++17", "-DCM_MONT_ADX=%d" % request.param, "-I" + src,
                        os.path.join(HERE, "constant_time_driver.cpp"),
                        os.path.join(src, "rsa", "private_power.cpp"), os.path.join(src, "rsa", "montgomery.cpp"),
                        "-o", exe], check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C++ compiler")
    return exe


def key(bits):
    if bits == 256:
        return rsa.newkeys(256)[1]
    from Crypto.PublicKey import RSA
    rng = random.Random(bits)
    made = RSA.generate(bits, randfunc=lambda n: rng.getrandbits(8 * n).to_bytes(n, "little"))
    return rsa.PrivateKey(made.n, made.e, made.d, made.p, made.q)


def memcheck(harness, lines):
    run = subprocess.run(["valgrind", "-q", "--error-exitcode=99", harness], input="".join(lines),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    return run.returncode, run.stdout.split(), run.stderr


@pytest.mark.parametrize("bits", [256, 2048, 4096])
def test_no_secret_steers_a_branch_or_an_address(harness, bits):
    k = key(bits)
    rng = random.Random(bits)
    factor = rng.randrange(2, k.n)  # coprime with n but for a chance of 2^-1000
    inverse = rsa.common.inverse(factor, k.n)
    c = rng.randrange(k.n)
    numbers = (k.n, k.e, k.p, k.q, k.exp1, k.exp2, k.coef, factor, inverse, c)
    lines = ["%s %s\n" % (op, " ".join("%x" % x for x in numbers)) for op in ("decrypt", "inverse")]
    code, out, err = memcheck(harness, lines)
    assert code == 0, err
    f2, i2 = factor * factor % k.n, inverse * inverse % k.n
    assert int(out[0], 16) == i2 * pow(c * pow(f2, k.e, k.n) % k.n, k.d, k.n) % k.n
    assert int(out[1], 16) == inverse


def test_a_branch_on_a_secret_is_caught(harness):
    k = key(256)
    numbers = (k.n, k.e, k.p, k.q, k.exp1, k.exp2, k.coef, 1, 1, 0)
    code, _, err = memcheck(harness, ["leak %s\n" % " ".join("%x" % x for x in numbers)])
    assert code == 99 and "uninitialised" in err
