"""The RSA methods computed natively give the library's results, leave keys
in the library's state, and step aside for anything they were not written
for."""

import binascii
import os
import random
import subprocess
import sys
import threading

import pytest
import rsa
import rsa.common
import rsa.core
import rsa.key
import rsa.pkcs1
import rsa.prime
import rsa.randnum
import rsa.transform

import crypt_main

C = crypt_main.TarvikCryptMain
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
RSA_DIR = os.path.dirname(rsa.__file__)
native = pytest.mark.skipif(rsa.__version__ not in ("4.9", "4.9.1"), reason="a release the paths do not follow")


@pytest.fixture(scope="module", params=[pytest.param(0, marks=pytest.mark.slow), None], ids=["c-rows", "cpu-rows"])
def driver(request, tmp_path_factory):
    """The Montgomery arithmetic on its own, built from the module's source:
    with the portable product rows, and with those the CPU check picks."""
    exe = str(tmp_path_factory.mktemp("mont") / "driver")
    choice = [] if request.param is None else ["-DCM_MONT_ADX=%d" % request.param]
    try:
        subprocess.run(["g++", "-O2", "-std=c++17"] + choice + ["-I" + os.path.join(ROOT, "src"),
                        os.path.join(HERE, "montgomery_driver.cpp"), os.path.join(ROOT, "src", "rsa", "montgomery.cpp"),
                        "-o", exe], check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C++ compiler")
    return exe, request.param


def edge_moduli(words):
    top = 1 << (64 * words)
    return [top - 1, top - 3, top - 5, (top >> 1) + 1, (top >> 1) - 1, (1 << (64 * words - 8)) + 1]


# a tenth in the quick suite, all with the sweeps
COUNTS = [(1, 40000), (2, 100000), (3, 100000), (4, 100000), (5, 8000), (8, 4000), (16, 800), (24, 300), (32, 120),
          (64, 20)]


@pytest.mark.build
@pytest.mark.parametrize("words, count", [(w, max(c // 10, 8)) for w, c in COUNTS] +
                         [pytest.param(w, c, marks=pytest.mark.slow) for w, c in COUNTS])
def test_arithmetic_against_pow(driver, words, count):
    driver, rows = driver
    if rows == 0 and words <= 4:
        pytest.skip("moduli of up to four words take no product rows")
    rng = random.Random(words)
    cases = []
    moduli = [m for m in edge_moduli(words) if m > 1] + [rng.getrandbits(64 * words) | 1 << 64 * words - 1 | 1
                                                          for _ in range(200)]
    top = 1 << (64 * words)
    for i in range(count):
        m = moduli[i % len(moduli)]
        a, b = rng.choice([0, 1, m - 1, m - 2, rng.randrange(m)]), rng.choice([0, 1, m - 1, rng.randrange(m)])
        op = ("mul", "pow", "public", "reduce", "square", "pair", "pair_short", "factor")[i % 8]
        if op == "reduce":  # any number of the words
            a = rng.choice([rng.getrandbits(64 * words), top - 1, m, min(2 * m, top - 1)])
        if op == "factor":  # b: the other factor of a public multiple, of at most m's words
            b = rng.choice([1, 3, rng.getrandbits(64 * rng.randint(1, words)) | 1])
        cases.append((op, m, a, b))
    text = "".join("%s %d %x %x %x\n" % (op, words, m, a, b) for op, m, a, b in cases)
    out = subprocess.run([driver], input=text, stdout=subprocess.PIPE, universal_newlines=True, check=True)
    expected = {"mul": lambda m, a, b: a * b % m, "pow": lambda m, a, b: pow(a, b, m), "square": lambda m, a, b: a * a % m,
                "public": lambda m, a, b: pow(a, b, m), "reduce": lambda m, a, b: a % m,
                "factor": lambda m, a, b: a * a % m,
                "pair": lambda m, a, b: pair(m, a, b, words, m ^ 2 | 1 << 64 * words - 1),
                "pair_short": lambda m, a, b: pair(m, a, b, max(words - 1, 1), None)}
    results = out.stdout.split()
    wrong = [(case, got) for case, got in zip(cases, results) if int(got, 16) != expected[case[0]](*case[1:])]
    assert len(results) == len(cases) and not wrong[:3]


def pair(m, a, b, words2, m2):
    """pow(a, b, m) beside the power of the driver's second modulus, as it prints them."""
    low = (1 << 64 * words2) - 1
    if m2 is None:
        m2 = m & low | 1 << 64 * words2 - 1
    return pow(a, b, m) << 64 * words2 | pow(a & low, b & low, m2)


def twins():
    """A key and its copy in the same blinding state, after a first use."""
    pub, pri = rsa.newkeys(256)
    twin = rsa.PrivateKey(pri.n, pri.e, pri.d, pri.p, pri.q)
    rsa.decrypt(rsa.encrypt(b"", pub), pri)
    twin.blindfac, twin.blindfac_inverse = pri.blindfac, pri.blindfac_inverse
    return pub, pri, twin


def outcome(call, *args):
    try:
        return "result", call(*args)
    except Exception as e:
        return type(e), str(e)


def library_decrypt(value, key, hexs=False):
    return rsa.decrypt(binascii.a2b_hex(value) if hexs else value, key).decode()


def ciphertexts(pub, rng):
    k = rsa.common.byte_size(pub.n)
    good = rsa.encrypt("é€x"[:rng.randrange(4)].encode() * rng.randrange(1, 4), pub)
    n_bytes = pub.n.to_bytes(k, "big")
    return [good, rsa.encrypt(bytes(rng.randrange(1, 256) for _ in range(rng.randrange(22))), pub),
            rsa.encrypt(b"\xff\xfe", pub), good[:-1], good + b"\0", b"", good[:5] + b"\x01" + good[6:],
            rsa.transform.int2bytes(int.from_bytes(good, "big") + pub.n, k) if int.from_bytes(good, "big") + pub.n < 256 ** k else good,
            n_bytes, (pub.n - 1).to_bytes(k, "big"), b"\xff" * k]


@native
@pytest.mark.parametrize("seed", range(12))
def test_decryption_and_blinding_state_equal_the_library(seed):
    rng = random.Random(seed)
    pub, pri, twin = twins()
    for value in ciphertexts(pub, rng):
        for form in (lambda v: v, binascii.b2a_hex, lambda v: binascii.b2a_hex(v).decode().upper()):
            hexs = form(b"x") != b"x"
            assert outcome(C._rsa_decrypt, form(value), pri, hexs) == outcome(library_decrypt, form(value), twin, hexs)
            assert (pri.blindfac, pri.blindfac_inverse) == (twin.blindfac, twin.blindfac_inverse)
    assert C._rsa_decrypt.__specialised__ == ("enabled",) * 3


@native
@pytest.mark.parametrize("name", ["n", "e", "p", "q", "exp1", "exp2", "coef"])
def test_a_number_of_the_key_rebound_between_calls_is_read_again(name):
    pub, pri, twin = twins()
    other = rsa.newkeys(256)[1]
    ct = rsa.encrypt(b"abc", pub)
    assert C._rsa_decrypt(ct, pri) == library_decrypt(ct, twin)
    # an equal int of its own, then another key's number
    for value in (int(str(getattr(pri, name))), getattr(other, name)):
        setattr(pri, name, value)
        setattr(twin, name, value)
        assert outcome(C._rsa_decrypt, ct, pri) == outcome(library_decrypt, ct, twin)
        assert (pri.blindfac, pri.blindfac_inverse) == (twin.blindfac, twin.blindfac_inverse)


@native
def test_a_key_used_first_draws_its_factor_as_the_library_does():
    for _ in range(40):
        pub, pri = C._rsa_keys()
        assert C._rsa_decrypt(rsa.encrypt(b"first", pub), pri) == "first"
        # randint(n - 1) and its inverse
        assert 0 < pri.blindfac < pri.n and 0 < pri.blindfac_inverse < pri.n
        assert pri.blindfac * pri.blindfac_inverse % pri.n == 1


@native
def test_decryption_waits_for_the_key_lock():
    pub, pri, twin = twins()
    ct = rsa.encrypt(b"locked", pub)
    C._rsa_decrypt(ct, pri)
    rsa.decrypt(ct, twin)
    results = []
    with pri.mutex:
        worker = threading.Thread(target=lambda: results.append(C._rsa_decrypt(ct, pri)))
        worker.start()
        worker.join(0.2)
        assert worker.is_alive() and not results
    worker.join()
    rsa.decrypt(ct, twin)
    assert results == ["locked"] and (pri.blindfac, pri.blindfac_inverse) == (twin.blindfac, twin.blindfac_inverse)


@native
@pytest.mark.parametrize("hexs", [False, True])
@pytest.mark.parametrize("text", ["", "abc", "é" * 10 + "x", "x" * 21])
def test_encryption_is_pkcs1_under_the_key(text, hexs):
    pub, pri = rsa.newkeys(256)
    for given in (True, False):
        result = C()._rsa_encrypt(text, pub if given else None, hexs)
        ct, pri = (result, pri) if given else (result[0], result[2])
        block = binascii.a2b_hex(ct) if hexs else ct
        clear = rsa.core.decrypt_int(int.from_bytes(block, "big"), pri.d, pri.n).to_bytes(32, "big")
        padding = clear[2:clear.index(b"\0", 2)]
        assert clear[:2] == b"\0\2" and len(padding) == 29 - len(text.encode()) and 0 not in padding
        assert clear.endswith(b"\0" + text.encode()) and rsa.decrypt(block, pri) == text.encode()
    with pytest.raises(OverflowError, match="22 bytes needed for message, but there is only space for 21"):
        C()._rsa_encrypt("x" * 22, pub, hexs)
    states = C._rsa_encrypt.__specialised__
    assert states[hexs] == states[2 + hexs] == "enabled"


@native
def test_key_pairs_follow_the_library():
    pairs = [C._rsa_keys() for _ in range(3000)]
    for pub, pri in pairs[:20]:
        assert rsa.prime.is_prime(pri.p) and rsa.prime.is_prime(pri.q) and pri.blindfac == -1
        assert pub == rsa.PublicKey(pri.n, pri.e) and pri == rsa.PrivateKey(pri.n, 65537, pri.d, pri.p, pri.q)
        assert pri.e * pri.d % ((pri.p - 1) * (pri.q - 1)) == 1 and pri.d < (pri.p - 1) * (pri.q - 1)
    assert {(pri.n.bit_length(), pri.p.bit_length(), pri.q.bit_length()) for _, pri in pairs} == {(256, 136, 120)}
    # the accurate loop's draws again shape where p and q lie: the library's
    # find_p_q over random odd numbers of the same form gives the same means
    rng = random.Random(1)
    odd = lambda bits: rng.getrandbits(bits) | 1 << bits - 1 | 1
    library = [rsa.key.find_p_q(128, odd) for _ in range(20000)]
    for index, bits in ((0, 136), (1, 120)):
        mean = lambda ps: sum(p[index] for p in ps) / len(ps) / 2 ** bits
        assert abs(mean([(pri.p, pri.q) for _, pri in pairs]) - mean(library)) < 0.012
    assert C._rsa_keys.__specialised__ == ("enabled",)


class Sub(C):
    pass


def counting(record, real):
    def stand_in(*args, **kwargs):
        record.append(1)
        return real(*args, **kwargs)
    return stand_in


PUB, PRI = rsa.newkeys(256)
CT = rsa.encrypt(b"text", PUB)


STATE = PRI.__getstate__()


def unused_key():
    key = rsa.PrivateKey.__new__(rsa.PrivateKey)
    key.__setstate__(STATE)
    return key


KEY_OF_SUBCLASS = type("Key", (rsa.PrivateKey,), {})(*PRI.__getstate__()[:5])
# numbers past the words the paths hold: a modulus of 8,202 bits (of odd
# factors, which is all the library's arithmetic needs)
BIG_P = (1 << 4100) + 1
PRI_BIG = rsa.PrivateKey(BIG_P * (BIG_P + 2), 65537, 12345, BIG_P, BIG_P + 2)
PUB_BIG = rsa.PublicKey(PRI_BIG.n, 65537)


def refused(call, *args):
    """Decrypts under a key whose numbers do not match: the blinded result
    is random, and once in 65,536 calls its padding holds and the text is
    not UTF-8."""
    try:
        call(*args)
    except (rsa.pkcs1.DecryptionError, UnicodeDecodeError):
        pass
CALLS = {
    "decrypt": lambda: C._rsa_decrypt(C()._rsa_encrypt("text", PUB), PRI),
    "hex": lambda: C._rsa_decrypt(C()._rsa_encrypt("text", PUB, True), PRI, True),
    "pair": lambda: C()._rsa_encrypt("text")[0],
    "keys": lambda: C._rsa_keys()[0].n,
    "first": lambda: C._rsa_decrypt(CT, unused_key()),
}
# Steps of the generic paths that a test double or a hot patch may replace.
WATCHED = [
    ("decrypt", rsa, "decrypt"), ("decrypt", rsa, "encrypt"), ("decrypt", rsa.pkcs1, "_pad_for_encryption"),
    ("decrypt", os, "urandom"), ("decrypt", rsa.transform, "bytes2int"), ("decrypt", rsa.transform, "int2bytes"),
    ("decrypt", rsa.core, "encrypt_int"), ("decrypt", rsa.common, "byte_size"),
    ("decrypt", rsa.key.AbstractKey, "blind"), ("decrypt", rsa.key.AbstractKey, "_update_blinding_factor"),
    ("decrypt", rsa.key.PrivateKey, "blinded_decrypt"), ("first", rsa.key.AbstractKey, "_initial_blinding_factor"),
    ("first", rsa.randnum, "randint"), ("first", rsa.common, "inverse"), ("first", rsa.prime, "gcd"),
    ("hex", crypt_main, "a2b_hex"),
    ("hex", crypt_main, "b2a_hex"), ("keys", rsa, "newkeys"), ("keys", rsa.key, "find_p_q"),
    ("keys", rsa.prime, "getprime"), ("keys", rsa.prime, "miller_rabin_primality_testing"),
    ("keys", rsa.randnum, "randint"), ("keys", os, "urandom"),
    ("pair", C, "_rsa_keys"), ("pair", rsa.key, "PrivateKey"),
]


CONSTRUCTION = ("__init__", "__setstate__", "inverse", "extended_gcd")  # what the key classes run when the path builds keys


@pytest.fixture
def library_calls():
    """The rsa package's Python functions that run: the native paths run
    none of them (but the key classes' constructors)."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(RSA_DIR) and frame.f_code.co_name not in CONSTRUCTION:
            calls.append(frame.f_code.co_name)
    sys.setprofile(profile)
    yield calls
    sys.setprofile(None)


@native
@pytest.mark.parametrize("call, owner, name", WATCHED, ids=["%s-%s" % (c, n) for c, _, n in WATCHED])
def test_a_step_patched_after_enabling_is_called(monkeypatch, library_calls, call, owner, name):
    CALLS[call](), CALLS[call]()
    library_calls.clear()
    CALLS[call]()
    assert not library_calls  # enabled and native
    record = []
    real = vars(owner)[name]
    if isinstance(real, staticmethod):
        stand_in = staticmethod(counting(record, real.__func__))
    elif isinstance(real, type):
        stand_in = type(real.__name__, (real,), {"__init__": counting(record, real.__init__)})
    else:
        stand_in = counting(record, real)
    monkeypatch.setattr(owner, name, stand_in)
    CALLS[call]()
    assert record
    monkeypatch.undo()
    library_calls.clear()
    CALLS[call]()
    assert not library_calls  # the library's own is back


@native
def test_a_threading_hook_swapped_changes_no_state(monkeypatch):
    """threading.excepthook is the process's setting (test runners swap it
    around each test), though the key module's namespace holds threading:
    the branch stays enabled, with no verification again."""
    C._rsa_decrypt(CT, PRI), C._rsa_decrypt(CT, PRI)
    states = C._rsa_decrypt.__specialised__
    monkeypatch.setattr(threading, "excepthook", lambda args: None, raising=False)  # (3.8+)
    assert "enabled" in states and C._rsa_decrypt.__specialised__ == states


@native
@pytest.mark.parametrize("call", [
    lambda: Sub()._rsa_encrypt("t"), lambda: C()._rsa_encrypt("t", ""), lambda: C()._rsa_encrypt("t", PUB, 1),
    lambda: C._rsa_decrypt(bytearray(rsa.encrypt(b"t", PUB)), PRI),
    lambda: C._rsa_decrypt(rsa.encrypt(b"t", PUB), KEY_OF_SUBCLASS),
    lambda: refused(C._rsa_decrypt, b"\1" * 1026, PRI_BIG), lambda: C()._rsa_encrypt("t", PUB_BIG),
])
def test_arguments_the_paths_were_not_written_for_take_the_generic_path(library_calls, call):
    CALLS["decrypt"](), CALLS["pair"]()
    library_calls.clear()
    call()
    assert library_calls
