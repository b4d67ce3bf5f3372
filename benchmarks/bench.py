#!/usr/bin/env python3
"""crypt_main beside its floor: the same library calls written inline in Python.

    python benchmarks/bench.py [--quick] [--json out.json] [--only SUBSTR] [--no-scaling] [--no-import]

Every method is timed beside its floor, the very statements that the method
performs, with the same arguments, as source text in the timing loop (no
function around them). Method and floor are timed alternately, round by round;
the table gives the median ns per call of each and the median of the per-round
ratios method / floor. Then: error paths beside a plain Python function that
fails the same way, 1 KiB / 1 MiB / 16 MiB inputs (time and tracemalloc peak),
and the import of crypt_main beside importing its dependencies alone.
"""

import argparse
import binascii
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import timeit
import tracemalloc

import crypt_main
from crypt_main import TarvikCryptMain as C

KiB = 1024
MiB = 1024 * 1024


# ---------------------------------------------------------------------------
# The namespace that both sides run in. The library objects are crypt_main's
# own globals, so method and floor reach exactly the same objects.

class P:
    """The same operations as plain Python functions: the error-path floors."""

    def __init__(self):
        pass

    @staticmethod
    def _aes_ecb_encrypt(value, key):
        cryptor = AES.new(key.encode("utf-8"), AES.MODE_ECB)
        result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
        return result


AES = crypt_main.AES
pad = crypt_main.pad

KEY16 = "0123456789abcdef"
IV16 = "fedcba9876543210"
KEY8 = "01234567"
TEXT = "The quick brown fox jumps over the lazy dog"
SHORT = "hello, world"
GBK_TEXT = "密钥，GBK 文本1"  # 15 bytes in GBK: one zero byte to add
JWT_KEY = "k" * 32


def namespace():
    """Everything that the statements name, inputs made once."""
    obj = C()
    ns = {name: getattr(crypt_main, name) for name in (
        "base64", "hashlib", "hmac", "time", "a2b_hex", "b2a_hex", "jwt", "rsa",
        "AES", "DES", "pad", "unpad")}
    ns.update(C=C, obj=obj, P=P, value=TEXT, short=SHORT, gbk_text=GBK_TEXT, key16=KEY16, iv16=IV16, key8=KEY8,
              jwt_key=JWT_KEY, lifetime=3600, upper="upper", true=True, false=False, none=None)
    ns["ct_ecb"] = C._aes_ecb_encrypt(TEXT, KEY16)
    ns["ct_cbc"] = C._aes_cbc_encrypt(TEXT, KEY16, IV16)
    ns["ct_des"] = C._des_encrypt(TEXT, KEY8)
    ns["b64"] = C._base64_encrypt(TEXT)
    ns["php_raw"] = obj._php_encrypt(TEXT, KEY16, IV16)
    ns["php_b64"] = obj._php_encrypt(TEXT, KEY16, IV16, True)
    pair = ns["rsa"].newkeys(256)
    ns["pub"], ns["pri"] = pair
    ns["rsa_ct"] = obj._rsa_encrypt(SHORT, pair[0])
    ns["rsa_hex"] = obj._rsa_encrypt(SHORT, pair[0], True)
    ns["token"] = C._token_encrypt({"id": 7}, JWT_KEY, 3600, None)
    ns["expired"] = C._token_encrypt({"id": 7}, JWT_KEY, -10, None)
    ns["claims_data"] = {"id": 7, "name": "alice", "roles": ["admin", "user"]}
    # the generic path: a key shorter than 32 bytes, a token with a claim more
    ns["short_key"] = "short key"
    ns["unusual"] = ns["jwt"].encode({"data": {"id": 7}, "iat": 1700000000, "iss": "tarvik", "sub": "x",
                                      "exp": 4000000000}, JWT_KEY, algorithm="HS256")
    # rsa.newkeys(256) is a random prime search of 10 +- 10 ms: the rows that
    # make a pair set rsa.newkeys, on the rsa module itself, to a dict lookup
    # that returns this pair, so that method and floor make the same call.
    ns["fast_newkeys"] = {256: pair}.__getitem__
    return ns


# ---------------------------------------------------------------------------
# The rows: (name, method statement, floor statement, target), and for RSA
# whether rsa.newkeys is stubbed ("stub") while the row runs.

CIPHER_ROWS = [
    ("__init__", "C()", "P()", 1.00),
    ("_aes_ecb_encrypt", "C._aes_ecb_encrypt(value, key16)", """
cryptor = AES.new(key16.encode("utf-8"), AES.MODE_ECB)
result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
""", 0.10),
    ("_aes_ecb_decrypt", "C._aes_ecb_decrypt(ct_ecb, key16)", """
cryptor = AES.new(key16.encode("utf-8"), AES.MODE_ECB)
text = cryptor.decrypt(ct_ecb)
result = unpad(text, AES.block_size).decode()
""", 0.10),
    ("_aes_cbc_encrypt", "C._aes_cbc_encrypt(value, key16, iv16)", """
cryptor = AES.new(key16.encode("utf-8"), AES.MODE_CBC, iv16.encode("utf-8"))
result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
""", 0.10),
    ("_aes_cbc_decrypt", "C._aes_cbc_decrypt(ct_cbc, key16, iv16)", """
cryptor = AES.new(key16.encode("utf-8"), AES.MODE_CBC, iv16.encode("utf-8"))
text = cryptor.decrypt(ct_cbc)
result = unpad(text, AES.block_size).decode()
""", 0.10),
    ("_base64_encrypt", "C._base64_encrypt(value)", """
result = str(base64.encodebytes(value.encode()), encoding="utf-8").replace("\\n", "")
""", 0.25),
    ("_base64_decrypt", "C._base64_decrypt(b64)", """
result = str(base64.decodebytes(b64.encode(encoding="utf-8")), encoding="utf-8")
""", 0.25),
    ("_des_encrypt", "C._des_encrypt(value, key8)", """
cryptor = DES.new(key8.encode("utf-8"), DES.MODE_ECB)
result = cryptor.encrypt(pad(value.encode("utf-8"), DES.block_size))
""", 0.25),
    ("_des_decrypt", "C._des_decrypt(ct_des, key8)", """
cryptor = DES.new(key8.encode("utf-8"), DES.MODE_ECB)
text = cryptor.decrypt(ct_des)
result = unpad(text, DES.block_size).decode()
""", 0.25),
    ("_md5_encrypt", "C._md5_encrypt(value, upper)", """
result = hashlib.md5()
result.update(value if isinstance(value, bytes) else value.encode(encoding="utf-8"))
result = result.hexdigest()
if upper == "upper":
    result = result.upper()
elif upper == "lower":
    result = result.lower()
""", 0.70),
    ("_md5_hmac_encrypt", "C._md5_hmac_encrypt(value, key16, upper)", """
v = value if isinstance(value, bytes) else value.encode(encoding="utf-8")
k = key16 if isinstance(key16, bytes) else key16.encode(encoding="utf-8")
result = hmac.new(k, v, digestmod=hashlib.md5)
result = result.digest()
if upper == "upper":
    result = result.upper()
elif upper == "lower":
    result = result.lower()
""", 0.30),
    ("_php_encrypt", "obj._php_encrypt(value, key16, iv16)", """
cryptor = AES.new(obj._add_to_16(key16), AES.MODE_CBC, iv16.encode("utf-8"))
result = cryptor.encrypt(obj._add_to_16(value))
if false:
    result = str(base64.encodebytes(result), encoding="utf-8").replace("\\n", "")
""", 0.10),
    ("_php_encrypt base64s", "obj._php_encrypt(value, key16, iv16, true)", """
cryptor = AES.new(obj._add_to_16(key16), AES.MODE_CBC, iv16.encode("utf-8"))
result = cryptor.encrypt(obj._add_to_16(value))
if true:
    result = str(base64.encodebytes(result), encoding="utf-8").replace("\\n", "")
""", 0.10),
    ("_php_decrypt", "obj._php_decrypt(php_raw, key16, iv16)", """
cryptor = AES.new(obj._add_to_16(key16), AES.MODE_CBC, iv16.encode("utf-8"))
v = php_raw
if false:
    v = base64.decodebytes(php_raw.encode())
text = cryptor.decrypt(v).decode("gbk")
result = text.rstrip("\\0")
""", 0.10),
    ("_php_decrypt base64s", "obj._php_decrypt(php_b64, key16, iv16, true)", """
cryptor = AES.new(obj._add_to_16(key16), AES.MODE_CBC, iv16.encode("utf-8"))
v = php_b64
if true:
    v = base64.decodebytes(php_b64.encode())
text = cryptor.decrypt(v).decode("gbk")
result = text.rstrip("\\0")
""", 0.10),
    ("_add_to_16", "C._add_to_16(short)", """
v = short.encode("gbk")
while len(v) % 16 != 0:
    v += "\\0".encode()
""", 0.50),
    ("_add_to_16 non-ASCII", "C._add_to_16(gbk_text)", """
v = gbk_text.encode("gbk")
while len(v) % 16 != 0:
    v += "\\0".encode()
""", 0.50),
]

SHA_ROWS = [
    ("_%s_encrypt" % name, "C._%s_encrypt(value, upper)" % name, """
result = hashlib.%s()
result.update(value.encode(encoding="utf-8"))
result = result.hexdigest()
if upper == "upper":
    result = result.upper()
elif upper == "lower":
    result = result.lower()
""" % name, 0.70)
    for name in ("sha1", "sha256", "sha384", "sha512")
]

RSA_TOKEN_ROWS = [
    ("_rsa_keys (stubbed newkeys)", "C._rsa_keys()", """
pub_key, pri_key = rsa.newkeys(256)
result = (pub_key, pri_key)
""", 1.00, "stub"),
    ("_rsa_encrypt", "obj._rsa_encrypt(short, pub)", """
if pub:
    pub_key = pub
    pri_key = None
else:
    pub_key, pri_key = obj._rsa_keys()
text = rsa.encrypt(short.encode(), pub_key)
if false:
    result = b2a_hex(text)
else:
    result = text
if pri_key:
    result = (result, pub_key, pri_key)
""", 0.30, None),
    ("_rsa_encrypt (new pair, stubbed)", "obj._rsa_encrypt(short, none, true)", """
if none:
    pub_key = none
    pri_key = None
else:
    pub_key, pri_key = obj._rsa_keys()
text = rsa.encrypt(short.encode(), pub_key)
if true:
    result = b2a_hex(text)
else:
    result = text
if pri_key:
    result = (result, pub_key, pri_key)
""", 1.00, "stub"),
    ("_rsa_decrypt", "C._rsa_decrypt(rsa_ct, pri)", """
v = rsa_ct
if false:
    v = a2b_hex(rsa_ct)
result = rsa.decrypt(v, pri).decode()
""", 0.10, None),
    ("_rsa_decrypt hexs", "C._rsa_decrypt(rsa_hex, pri, true)", """
v = rsa_hex
if true:
    v = a2b_hex(rsa_hex)
result = rsa.decrypt(v, pri).decode()
""", 0.10, None),
    ("_token_encrypt", "C._token_encrypt(value, jwt_key, lifetime, none)", """
iss = none if none else "tarvik"
token_dict = {"data": value, "iat": int(time.time()), "iss": iss}
if isinstance(lifetime, int):
    token_dict["exp"] = int(time.time()) + lifetime
elif lifetime is not None:
    raise TypeError("exp_time must be an int number of seconds or None")
result = jwt.encode(token_dict, jwt_key, algorithm="HS256")
""", 0.10, None),
    ("_token_encrypt dict", "C._token_encrypt(claims_data, jwt_key, lifetime, none)", """
iss = none if none else "tarvik"
token_dict = {"data": claims_data, "iat": int(time.time()), "iss": iss}
if isinstance(lifetime, int):
    token_dict["exp"] = int(time.time()) + lifetime
elif lifetime is not None:
    raise TypeError("exp_time must be an int number of seconds or None")
result = jwt.encode(token_dict, jwt_key, algorithm="HS256")
""", 0.10, None),
    ("_token_decrypt", "C._token_decrypt(token, jwt_key, none)", """
iss = none if none else "tarvik"
try:
    token_dict = jwt.decode(token, jwt_key, issuer=iss, algorithms=["HS256"])
    result = token_dict.get("data")
except jwt.exceptions.ExpiredSignatureError:
    result = "token\\u5df2\\u8fc7\\u671f"
except Exception as e:
    result = "\\u7cfb\\u7edf\\u5f02\\u5e38\\uff1a" + format(e, "")
""", 0.10, None),
    ("_token_decrypt expired", "C._token_decrypt(expired, jwt_key, none)", """
iss = none if none else "tarvik"
try:
    token_dict = jwt.decode(expired, jwt_key, issuer=iss, algorithms=["HS256"])
    result = token_dict.get("data")
except jwt.exceptions.ExpiredSignatureError:
    result = "token\\u5df2\\u8fc7\\u671f"
except Exception as e:
    result = "\\u7cfb\\u7edf\\u5f02\\u5e38\\uff1a" + format(e, "")
""", 0.15, None),
    ("_token_encrypt short key (generic)", "C._token_encrypt(value, short_key, lifetime, none)", """
iss = none if none else "tarvik"
token_dict = {"data": value, "iat": int(time.time()), "iss": iss}
if isinstance(lifetime, int):
    token_dict["exp"] = int(time.time()) + lifetime
elif lifetime is not None:
    raise TypeError("exp_time must be an int number of seconds or None")
result = jwt.encode(token_dict, short_key, algorithm="HS256")
""", 1.03, None),
    ("_token_decrypt unusual (generic)", "C._token_decrypt(unusual, jwt_key, none)", """
iss = none if none else "tarvik"
try:
    token_dict = jwt.decode(unusual, jwt_key, issuer=iss, algorithms=["HS256"])
    result = token_dict.get("data")
except jwt.exceptions.ExpiredSignatureError:
    result = "token\\u5df2\\u8fc7\\u671f"
except Exception as e:
    result = "\\u7cfb\\u7edf\\u5f02\\u5e38\\uff1a" + format(e, "")
""", 1.03, None),
]

# RSA under keys of the sizes users bring (made by pycryptodome from a fixed
# seed, as rsa.PrivateKey): decryption and encryption beside rsa.decrypt and
# rsa.encrypt inline. Their inputs are made only when a row is selected.
RSA_SIZES = (1024, 2048, 3072, 4096)
RSA_SIZE_TARGETS = {1024: 0.12, 2048: 0.12, 3072: 0.10, 4096: 0.10}
def sized_rsa_rows(bits):
    """The _rsa_decrypt and _rsa_encrypt rows again, under the key of `bits` bits."""
    _, decrypt, decrypt_floor, _, _ = RSA_TOKEN_ROWS[3]
    _, encrypt, encrypt_floor, _, _ = RSA_TOKEN_ROWS[1]
    ct, pri, pub = "rsa_ct_%d" % bits, "pri_%d" % bits, "pub_%d" % bits
    return [("_rsa_decrypt %d-bit" % bits, decrypt.replace("rsa_ct", ct).replace("pri)", pri + ")"),
             decrypt_floor.replace("rsa_ct", ct).replace("pri)", pri + ")"), RSA_SIZE_TARGETS[bits]),
            ("_rsa_encrypt %d-bit" % bits, encrypt.replace("pub)", pub + ")"),
             encrypt_floor.replace("if pub:", "if %s:" % pub).replace("= pub\n", "= %s\n" % pub), 0.20)]


RSA_SIZE_ROWS = [row for bits in RSA_SIZES for row in sized_rsa_rows(bits)]


def rsa_key_pair(bits):
    """python-rsa's key objects for a key of `bits` bits, the same in every run."""
    import random
    from Crypto.PublicKey import RSA
    rng = random.Random(bits)
    key = RSA.generate(bits, randfunc=lambda n: rng.getrandbits(8 * n).to_bytes(n, "little"))
    rsa = crypt_main.rsa
    return rsa.PublicKey(key.n, key.e), rsa.PrivateKey(key.n, key.e, key.d, key.p, key.q)


def add_rsa_keys(ns, sizes):
    for bits in sizes:
        if "pri_%d" % bits not in ns:
            ns["pub_%d" % bits], ns["pri_%d" % bits] = pub, pri = rsa_key_pair(bits)
            ns["rsa_ct_%d" % bits] = C()._rsa_encrypt(SHORT, pub)


def rsa_two_threads(ns, calls, rounds):
    """(time of two threads each decrypting `calls` times under a 2048-bit key
    of its own) / (time of one thread making both threads' calls): the best
    of `rounds`."""
    add_rsa_keys(ns, (2048,))
    pri = ns["pri_2048"]
    twin = crypt_main.rsa.PrivateKey(pri.n, pri.e, pri.d, pri.p, pri.q)
    ct = ns["rsa_ct_2048"]

    def decrypting(key):
        def job():
            for _ in range(calls):
                C._rsa_decrypt(ct, key)
        return job
    jobs = [decrypting(pri), decrypting(twin)]
    for job in jobs:
        job()
    return time_share(jobs, rounds)


# Failures: each side catches what it raised. The binding error's target is
# half of the Python function's failure.
ERROR_ROWS = [
    ("binding error (missing argument)", """
try:
    C._aes_ecb_encrypt(value)
except TypeError:
    pass
""", """
try:
    P._aes_ecb_encrypt(value)
except TypeError:
    pass
""", 0.50),
    ("binding error, instance (missing argument)", """
try:
    C(value)
except TypeError:
    pass
""", """
try:
    P(value)
except TypeError:
    pass
""", 0.50),
    ("library error (bad key)", """
try:
    C._aes_ecb_encrypt(value, short)
except ValueError:
    pass
""", """
try:
    P._aes_ecb_encrypt(value, short)
except ValueError:
    pass
""", 1.00),
]


# The glue alone: pycryptodome replaced, on both sides, by Python functions
# that do nothing, so that only the calls and the lookups are left to time.
# This is where a method whose libraries are Python code loses to inline
# code on 3.11+: the interpreter calls a Python function from its own
# bytecode without re-entering itself, a C caller cannot.

class NullCryptor:
    def encrypt(self, data, output=None):
        return data


def null_new(key, mode, *args, **kwargs):
    return NullCryptor()


def null_pad(data_to_pad, block_size, style="pkcs7"):
    return data_to_pad


def null_aes():
    import types
    module = types.ModuleType("AES")
    module.new, module.MODE_ECB, module.block_size = null_new, 1, 16
    return module


GLUE_ROWS = [
    ("_aes_ecb_encrypt, pycryptodome nulled", CIPHER_ROWS[1][1], CIPHER_ROWS[1][2]),
]


# The specialised methods again with their library modules rebound, on both
# sides, to copies of themselves: the guards then send every call down the
# generic path, whose target is the floor plus 5 %.
SPECIALISED = ("_aes_", "_base64_", "_des_", "_md5_", "_php_", "_sha", "_rsa_", "_token_encrypt", "_token_decrypt")
REBOUND = ("AES", "DES", "hashlib", "hmac", "base64", "rsa", "jwt")
GENERIC_TARGET = 1.05


def module_copy(module):
    import types
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(vars(module))
    return copy


# ---------------------------------------------------------------------------
# Timing

class Timed:
    def __init__(self, stmt, ns):
        self.timer = timeit.Timer(stmt.strip("\n"), globals=ns)

    def per_call(self, number):
        return self.timer.timeit(number) / number


def calibrate(timed, target):
    """Calls per measurement so that one measurement takes about `target` s."""
    number = 1
    while True:
        elapsed = timed.timer.timeit(number)
        if elapsed >= target / 4 or number >= 1 << 22:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 4


def compare(method_stmt, floor_stmt, ns, rounds, target):
    """Interleaved rounds; medians of ns/call and of the per-round ratio.

    Each round times the two sides in the order A B B A (B A A B in every
    other round), half of its calls in each slot, so that a load that rises
    or falls during the round weighs on both alike."""
    method, floor = Timed(method_stmt, ns), Timed(floor_stmt, ns)
    number = calibrate(floor, target / 2)
    method.per_call(max(1, number // 10))  # warm both up
    floor.per_call(max(1, number // 10))
    m, f, r = [], [], []
    for i in range(rounds):
        first, second = (method, floor) if i % 2 == 0 else (floor, method)
        a1 = first.per_call(number)
        b1 = second.per_call(number)
        b2 = second.per_call(number)
        a2 = first.per_call(number)
        ta, tb = (a1 + a2) / 2, (b1 + b2) / 2
        tm, tf = (ta, tb) if first is method else (tb, ta)
        m.append(tm)
        f.append(tf)
        r.append(tm / tf)
    return {
        "method_ns": statistics.median(m) * 1e9,
        "floor_ns": statistics.median(f) * 1e9,
        "ratio": statistics.median(r),
        "ratio_min": min(r),
        "ratio_max": max(r),
        "calls_per_round": number,
        "rounds": rounds,
    }


# ---------------------------------------------------------------------------
# Threads: how long a specialised call keeps other threads waiting, and what
# two threads get done on two cores.

def new_pairs(count):
    """Mean s per call of the methods that make a key pair and of the same
    calls in Python, over `count` calls each, interleaved (one prime search
    may take ten times another): {name: (method, floor)}."""
    obj, rsa = C(), crypt_main.rsa

    def keys_floor():
        pub_key, pri_key = rsa.newkeys(256)
        return (pub_key, pri_key)

    def encrypt_floor():  # with _rsa_keys as Python would run it
        pub_key, pri_key = keys_floor()
        return (rsa.encrypt(SHORT.encode(), pub_key), pub_key, pri_key)

    sides = {"_rsa_keys (new pair)": (C._rsa_keys, keys_floor),
             "_rsa_encrypt (new pair)": (lambda: obj._rsa_encrypt(SHORT), encrypt_floor)}
    means = {}
    for name, (method, floor) in sides.items():
        method(), floor()
        spent = [0.0, 0.0]
        for i in range(count):
            for side in ((0, 1) if i % 2 else (1, 0)):
                start = time.perf_counter()
                (method, floor)[side]()
                spent[side] += time.perf_counter() - start
        means[name] = (spent[0] / count, spent[1] / count)
    return means


def ticker_wait(size):
    """The longest wait of a thread that ticks every 0.5 ms while this one
    encrypts `size` characters with DES: s."""
    text = "x" * size
    C._des_encrypt(text[:64], KEY8), C._des_encrypt(text[:64], KEY8)
    stamps, done = [], threading.Event()

    def ticker():
        while not done.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0005)
    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.01)
    start = time.perf_counter()
    C._des_encrypt(text, KEY8)
    end = time.perf_counter()
    done.set()
    thread.join()
    during = [start] + [t for t in stamps if start <= t <= end] + [end]
    return max(b - a for a, b in zip(during, during[1:]))


def two_threads(size, rounds):
    """(time of two threads each encrypting `size` characters with DES) /
    (time of one thread encrypting both): the best of `rounds`."""
    text = "x" * size
    C._des_encrypt(text[:64], KEY8), C._des_encrypt(text[:64], KEY8)

    def one():
        C._des_encrypt(text, KEY8)
    return time_share([one, one], rounds)


def time_share(jobs, rounds):
    """(time of a thread each running one of `jobs`) / (time of one thread
    running them all): the best of `rounds`."""
    serial, parallel = [], []
    for _ in range(rounds):
        t = time.perf_counter()
        for job in jobs:
            job()
        serial.append(time.perf_counter() - t)
        threads = [threading.Thread(target=job) for job in jobs]
        t = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        parallel.append(time.perf_counter() - t)
    return min(parallel) / min(serial)


# A branch disabled by its first call costs its choice and the generic path:
# measured in a process of its own, whose first AES-ECB call is made to
# disagree (through a step below the guards) and so disables the branch.
DISABLED_CHILD = """
import json, sys
sys.path.insert(0, %r)
import bench
import functools, operator
from Crypto.Cipher import _mode_ecb
real = _mode_ecb.get_raw_buffer
_mode_ecb.get_raw_buffer = functools.partial(operator.add, b"!")  # the interpreter's own, another result
bench.C._aes_ecb_encrypt("x", bench.KEY16)
_mode_ecb.get_raw_buffer = real
assert bench.C._aes_ecb_encrypt.__specialised__ == ("disabled",), bench.C._aes_ecb_encrypt.__specialised__
row = bench.compare(bench.CIPHER_ROWS[1][1], bench.CIPHER_ROWS[1][2], bench.namespace(), %d, %r)
print(json.dumps(row))
"""


def disabled_branch(rounds, target):
    out = subprocess.run([sys.executable, "-c", DISABLED_CHILD % (os.path.dirname(os.path.abspath(__file__)),
                                                                   rounds, target)],
                         stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    return json.loads(out)


# ---------------------------------------------------------------------------
# Scaling: large inputs, time and tracemalloc peak

# (name, method, floor, input kind, specialised): a specialised method's
# target from 1 MiB is the floor's time and at most the floor's peak.
SCALING = [
    ("_add_to_16", "C._add_to_16(big)", """
v = big.encode("gbk")
while len(v) % 16 != 0:
    v += "\\0".encode()
""", "text", True),
    ("_aes_ecb_encrypt", "C._aes_ecb_encrypt(big, key16)", CIPHER_ROWS[1][2].replace("value", "big"), "text", True),
    ("_aes_ecb_decrypt", "C._aes_ecb_decrypt(big, key16)", CIPHER_ROWS[2][2].replace("ct_ecb", "big"), "ecb", True),
    ("_aes_cbc_encrypt", "C._aes_cbc_encrypt(big, key16, iv16)", CIPHER_ROWS[3][2].replace("value", "big"), "text",
     True),
    ("_des_encrypt", "C._des_encrypt(big, key8)", CIPHER_ROWS[7][2].replace("value", "big"), "text", True),
    ("_php_encrypt", "obj._php_encrypt(big, key16, iv16)", CIPHER_ROWS[11][2].replace("value", "big"), "text", True),
    ("_php_encrypt base64s", "obj._php_encrypt(big, key16, iv16, true)", CIPHER_ROWS[12][2].replace("value", "big"),
     "text", True),
    ("_php_decrypt base64s", "obj._php_decrypt(big, key16, iv16, true)",
     CIPHER_ROWS[14][2].replace("php_b64", "big"), "php64", True),
    ("_base64_encrypt", "C._base64_encrypt(big)", """
result = str(base64.encodebytes(big.encode()), encoding="utf-8").replace("\\n", "")
""", "text", True),
    ("_base64_decrypt", "C._base64_decrypt(big)", """
result = str(base64.decodebytes(big.encode(encoding="utf-8")), encoding="utf-8")
""", "base64", True),
    ("_md5_encrypt", "C._md5_encrypt(big, upper)", CIPHER_ROWS[9][2].replace("value", "big"), "text", True),
    ("_md5_hmac_encrypt", "C._md5_hmac_encrypt(big, key16, upper)", CIPHER_ROWS[10][2].replace("value", "big"),
     "text", True),
    ("_sha256_encrypt", "C._sha256_encrypt(big, upper)", SHA_ROWS[1][2].replace("value", "big"), "text", True),
]


def big_input(kind, size):
    """An input of `size` characters: ASCII text 3 short of it (so the zero
    padding has work to do), or one line of Base64 text of that length; or
    the ciphertext of such text, raw from AES-ECB or the PHP cipher's Base64."""
    if kind == "ecb":
        return C._aes_ecb_encrypt(big_input("text", size), KEY16)
    if kind == "php64":
        return C()._php_encrypt(big_input("text", size), KEY16, IV16, True)
    if kind == "text":
        line = "The quick brown fox jumps over the lazy dog. 0123456789\n"
        return (line * (size // len(line) + 1))[: size - 3]
    raw = ("x" * (size * 3 // 4 + 3)).encode()
    return binascii.b2a_base64(raw, newline=False).decode()[:size // 4 * 4]


def peak(stmt, ns):
    code = compile(stmt.strip("\n"), "<peak>", "exec")
    local = {}
    tracemalloc.start()
    try:
        exec(code, ns, local)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        local.clear()


def scaling(ns, sizes, rounds, target, selected):
    for size in sizes:
        for name, method_stmt, floor_stmt, kind, specialised in SCALING:
            if not selected(name):
                continue
            ns["big"] = big_input(kind, size)
            row = compare(method_stmt, floor_stmt, ns, rounds, target)
            row.update(name=name, size=size, input_bytes=len(ns["big"]), specialised=specialised)
            pm = [peak(method_stmt, ns) for _ in range(3)]
            pf = [peak(floor_stmt, ns) for _ in range(3)]
            row["method_peak"], row["floor_peak"] = min(pm), min(pf)
            yield row
        ns.pop("big", None)


# ---------------------------------------------------------------------------
# Import time, each in a fresh interpreter

DEPENDENCIES = ("import base64, hashlib, hmac, time, binascii, jwt, rsa; "
                "from binascii import a2b_hex, b2a_hex; "
                "from Crypto.Cipher import AES, DES; "
                "from Crypto.Util.Padding import pad, unpad")
IMPORT_PROBE = "from time import perf_counter as t; s = t(); {}; print(t() - s)"


def import_time(runs):
    def once(stmt):
        out = subprocess.run([sys.executable, "-c", IMPORT_PROBE.format(stmt)], cwd=tempfile.gettempdir(),
                             check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
        return float(out)

    once("import crypt_main"), once(DEPENDENCIES)  # caches warm
    module, deps = [], []
    for i in range(runs):
        order = [("import crypt_main", module), (DEPENDENCIES, deps)]
        for stmt, into in (order if i % 2 == 0 else order[::-1]):
            into.append(once(stmt))
    return {
        "module_ms": statistics.median(module) * 1e3,
        "deps_ms": statistics.median(deps) * 1e3,
        "difference_ms": (statistics.median(module) - statistics.median(deps)) * 1e3,
        "runs": runs,
    }


# ---------------------------------------------------------------------------

def size_name(n):
    return "%d MiB" % (n // MiB) if n >= MiB else "%d KiB" % (n // KiB)


def print_row(name, row, target):
    ok = row["ratio"] <= target
    print("%-38s %10.0f %10.0f %7.3f  %5.2f  %s" % (name, row["method_ns"], row["floor_ns"], row["ratio"],
                                                     target, "ok" if ok else "MISS"), flush=True)


def machine():
    import sysconfig
    import Crypto
    import jwt
    import rsa
    info = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            "python": sys.version.split()[0], "implementation": platform.python_implementation(),
            "python_build": " ".join(arg for arg in (sysconfig.get_config_var("CONFIG_ARGS") or "").split()
                                     if "optimizations" in arg or "lto" in arg or "shared" in arg),
            "platform": platform.platform(), "cpus": os.cpu_count(),
            "libraries": "pycryptodome %s, rsa %s, PyJWT %s" % (Crypto.__version__, rsa.__version__, jwt.__version__)}
    try:
        lscpu = subprocess.run(["lscpu"], stdout=subprocess.PIPE, universal_newlines=True).stdout
        for line in lscpu.splitlines():
            if line.startswith("Model name:"):
                info["cpu"] = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds and small inputs: a smoke test")
    parser.add_argument("--json", metavar="FILE", help="write all results as JSON")
    parser.add_argument("--rounds", type=int, help="rounds per comparison (default 31, quick 5)")
    parser.add_argument("--only", metavar="SUBSTR", help="only rows whose name contains SUBSTR")
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--no-import", action="store_true")
    args = parser.parse_args()

    rounds = args.rounds or (5 if args.quick else 31)
    target = 0.002 if args.quick else 0.01
    sizes = [KiB, MiB] if args.quick else [KiB, MiB, 16 * MiB]
    report = {"machine": machine(), "quick": args.quick, "methods": [], "generic": [], "glue": [], "errors": [],
              "scaling": []}
    info = report["machine"]
    print("crypt_main benchmark: CPython %s on %s (%s, %s CPUs)" % (info["python"], info["platform"],
                                                                   info.get("cpu", "?"), info["cpus"]))

    ns = namespace()
    rows = [(n, m, f, t, None) for n, m, f, t in CIPHER_ROWS + SHA_ROWS] + RSA_TOKEN_ROWS
    selected = lambda name: not args.only or args.only in name
    # the keys of the sized RSA rows (not timed again with the libraries rebound)
    rows += [(n, m, f, t, "sized") for n, m, f, t in RSA_SIZE_ROWS]
    add_rsa_keys(ns, [bits for bits in RSA_SIZES if any(selected(n) for n, _, _, _ in sized_rsa_rows(bits))])

    print("\n%-38s %10s %10s %7s  %5s" % ("method (short input)", "ns/call", "floor ns", "ratio", "target"))
    for name, method_stmt, floor_stmt, goal, needs in rows:
        if not selected(name):
            continue
        saved = ns["rsa"].newkeys
        if needs == "stub":
            ns["rsa"].newkeys = ns["fast_newkeys"]
        try:
            row = compare(method_stmt, floor_stmt, ns, rounds, target)
        finally:
            ns["rsa"].newkeys = saved
        row.update(name=name, target=goal)
        report["methods"].append(row)
        print_row(name, row, goal)

    if selected("(new pair)"):
        for name, (method, floor) in new_pairs(20 if args.quick else 200).items():
            row = {"name": name, "method_ns": method * 1e9, "floor_ns": floor * 1e9, "ratio": method / floor,
                   "target": 0.10}
            report["methods"].append(row)
            print_row(name, row, 0.10)

    print("\n%-38s %10s %10s %7s  %5s" % ("generic path (libraries rebound)", "ns/call", "floor ns", "ratio",
                                          "target"))
    saved = {name: (getattr(crypt_main, name), ns[name]) for name in REBOUND}
    try:
        for name in REBOUND:
            copy = module_copy(saved[name][0])
            setattr(crypt_main, name, copy)
            ns[name] = copy
        for name, method_stmt, floor_stmt, goal, needs in rows:
            if not name.startswith(SPECIALISED) or "(generic)" in name or not selected(name) or needs:
                continue
            row = compare(method_stmt, floor_stmt, ns, rounds, target)
            row.update(name=name + " (generic)", target=GENERIC_TARGET)
            report["generic"].append(row)
            print_row(row["name"], row, GENERIC_TARGET)
    finally:
        for name, (module_value, ns_value) in saved.items():
            setattr(crypt_main, name, module_value)
            ns[name] = ns_value

    if selected("_aes_ecb_encrypt (disabled branch)"):
        row = disabled_branch(rounds, target)
        row.update(name="_aes_ecb_encrypt (disabled branch)", target=GENERIC_TARGET)
        report["generic"].append(row)
        print_row(row["name"], row, GENERIC_TARGET)

    if selected("threads"):
        wait = ticker_wait(MiB if args.quick else 2 * MiB)
        share = two_threads(MiB // 4 if args.quick else MiB, 3 if args.quick else 7)
        report["threads"] = {"ticker_longest_wait_ms": wait * 1e3, "two_threads_time_share": share}
        print("\nthreads: while DES encrypts %s, a ticker waits at most %.1f ms (target 30); two threads take "
              "%.2f of one thread's time (target 0.60)" % ("1 MiB" if args.quick else "2 MiB", wait * 1e3, share))

    if selected("rsa threads"):
        share = rsa_two_threads(ns, 5 if args.quick else 20, 3 if args.quick else 7)
        report["rsa_threads"] = {"two_threads_time_share": share}
        print("\nrsa threads: two threads decrypting under 2048-bit keys take %.2f of one thread's time "
              "(target 0.60)" % share)

    print("\n%-38s %10s %10s %7s" % ("glue alone (no target)", "ns/call", "floor ns", "ratio"))
    saved = {name: (getattr(crypt_main, name), ns[name]) for name in ("AES", "pad")}
    nulled = {"AES": null_aes(), "pad": null_pad}
    for name, method_stmt, floor_stmt in GLUE_ROWS:
        if not selected(name):
            continue
        for global_name, value in nulled.items():
            setattr(crypt_main, global_name, value)
            ns[global_name] = value
        try:
            row = compare(method_stmt, floor_stmt, ns, rounds, target)
        finally:
            for global_name, (module_value, ns_value) in saved.items():
                setattr(crypt_main, global_name, module_value)
                ns[global_name] = ns_value
        row.update(name=name)
        report["glue"].append(row)
        print("%-38s %10.0f %10.0f %7.3f" % (name, row["method_ns"], row["floor_ns"], row["ratio"]), flush=True)

    print("\n%-38s %10s %10s %7s  %5s" % ("failure", "ns/call", "Python ns", "ratio", "target"))
    for name, method_stmt, floor_stmt, goal in ERROR_ROWS:
        if not selected(name):
            continue
        row = compare(method_stmt, floor_stmt, ns, rounds, target)
        row.update(name=name, target=goal)
        report["errors"].append(row)
        print_row(name, row, goal)

    if not args.no_scaling:
        print("\n%-22s %7s %10s %10s %7s  %11s %11s  %s" % ("large input", "size", "ms/call", "floor ms", "ratio",
                                                           "peak MiB", "floor MiB", "ok"))
        for row in scaling(ns, sizes, max(5, rounds // 2), target * 5, selected):
            if row["specialised"]:
                time_ok = row["size"] < MiB or row["ratio"] <= 1.00
                mem_ok = row["method_peak"] <= row["floor_peak"]
            else:
                time_ok = row["size"] < 16 * MiB or row["ratio"] <= 1.02
                mem_ok = row["method_peak"] <= row["floor_peak"] + row["input_bytes"]
            row["ok"] = time_ok and mem_ok
            report["scaling"].append(row)
            print("%-22s %7s %10.3f %10.3f %7.3f  %11.2f %11.2f  %s" % (
                row["name"], size_name(row["size"]), row["method_ns"] / 1e6, row["floor_ns"] / 1e6, row["ratio"],
                row["method_peak"] / MiB, row["floor_peak"] / MiB, "ok" if row["ok"] else "MISS"), flush=True)

    if not args.no_import:
        imp = import_time(8 if args.quick else 40)
        report["import"] = imp
        print("\nimport crypt_main %.1f ms, its dependencies alone %.1f ms: %+.1f ms (target +5.0 ms) %s" % (
            imp["module_ms"], imp["deps_ms"], imp["difference_ms"], "ok" if imp["difference_ms"] <= 5 else "MISS"))

    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=1)


if __name__ == "__main__":
    main()
