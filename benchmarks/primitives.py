#!/usr/bin/env python3
"""pycryptodome's compiled primitives timed from C, beside the Python calls.

    python benchmarks/primitives.py [--rounds N]

Compiles primitives.cpp with the module's raw layer against this interpreter
(g++ -O2, embedding it only so that the layer finds the installed
pycryptodome's libraries), runs it, and prints ns per operation, best of N
rounds: the primitive called from C, and the Python call that does the same
work today (pycryptodome's Python API, hashlib, hmac).
"""

import argparse
import hashlib
import hmac
import os
import subprocess
import sys
import sysconfig
import tempfile
import timeit

import Crypto
from Crypto.Cipher import AES, DES
from Crypto.Hash import SHA256

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = ["benchmarks/primitives.cpp", "src/common/native_library.cpp", "src/common/names.cpp", "src/ciphers/raw_ciphers.cpp",
           "src/digests/raw_hashes.cpp"]

KEY, IV, DATA = bytes(range(16)), bytes(range(16)), b"0123456789abcdef" * 2
FOX = b"The quick brown fox jumps over the lazy dog"
PYTHON_CALLS = [
    "AES.new(KEY, AES.MODE_ECB).encrypt(DATA)",
    "AES.new(KEY, AES.MODE_CBC, IV).encrypt(DATA)",
    "DES.new(KEY[:8], DES.MODE_ECB).encrypt(DATA[:16])",
    "hashlib.md5(b'hello').digest()",
    "hashlib.sha1(b'hello').digest()",
    "hashlib.sha256(b'hello').digest()",
    "hashlib.sha384(b'hello').digest()",
    "hashlib.sha512(b'hello').digest()",
    "hmac.new(b'key', FOX, 'md5').digest()",
]


def link_flags():
    var = sysconfig.get_config_var
    if var("Py_ENABLE_SHARED"):
        return ["-L" + var("LIBDIR"), "-Wl,-rpath," + var("LIBDIR"), "-lpython" + var("LDVERSION")]
    extra = " ".join(var(name) or "" for name in ("LIBS", "SYSLIBS", "LINKFORSHARED"))
    return [os.path.join(var("LIBPL"), var("LIBRARY"))] + extra.split()


def kernels():
    aes_hw = getattr(AES, "_raw_aes_hw", getattr(AES, "_raw_aesni_lib", None))
    shani = getattr(SHA256, "_raw_sha256_shani_lib", None)
    return "AES %s, SHA-256 %s" % ("AES-NI" if aes_hw else "portable",
                                   "SHA-NI" if shani is not None and shani is SHA256._raw_sha256_lib else "portable")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "primitives")
        subprocess.run(["g++", "-std=c++17", "-O2", "-fno-exceptions", "-fno-rtti",
                        "-I" + sysconfig.get_paths()["include"], "-I" + os.path.join(ROOT, "src")]
                       + [os.path.join(ROOT, s) for s in SOURCES] + ["-o", exe] + link_flags(), check=True)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        lines = subprocess.run([exe, str(args.rounds)], env=env, check=True, stdout=subprocess.PIPE,
                               universal_newlines=True).stdout.splitlines()

    print("pycryptodome %s (%s), Python %s" % (Crypto.__version__, kernels(), sys.version.split()[0]))
    print("%-46s %10s %12s  %s" % ("operation", "C ns", "Python ns", "Python call"))
    for line, call in zip(lines, PYTHON_CALLS):
        name, ns = line.split("\t")
        python_ns = min(timeit.repeat(call, globals=globals(), number=20000, repeat=args.rounds)) / 20000 * 1e9
        print("%-46s %10.0f %12.0f  %s" % (name, float(ns), python_ns, call))


if __name__ == "__main__":
    main()
