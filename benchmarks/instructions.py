#!/usr/bin/env python3
"""Instructions per call of every row of bench.py, method beside floor, counted
by valgrind's callgrind: the same on a busy machine as on a quiet one.

    python benchmarks/instructions.py [--calls N] [--only SUBSTR]

Counts are no timings (they weigh a cache miss like an addition), but they
show where a difference comes from: run a row under callgrind yourself and
compare the two profiles with callgrind_annotate.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def rows(only):
    """(name, method statement, floor statement, stub rsa.newkeys)"""
    table = [(n, m, f, False) for n, m, f, _ in bench.CIPHER_ROWS + bench.SHA_ROWS]
    table += [(n, m, f, needs == "stub") for n, m, f, _, needs in bench.RSA_TOKEN_ROWS]
    table += [(n, m, f, False) for n, m, f, _ in bench.ERROR_ROWS]
    return [row for row in table if not only or only in row[0]]


def child(calls, only):
    """Runs under callgrind: each measured stretch lies between two calls of
    os.getppid, before which callgrind writes out its counts."""
    ns = bench.namespace()
    timers = []
    for name, method, floor, stub in rows(only):
        for stmt in (method, floor):
            timer = timeit.Timer(stmt.strip("\n"), globals=ns)
            timers.append((name, stub, timer))
    rsa, newkeys = ns["rsa"], ns["rsa"].newkeys
    for _, stub, timer in timers:  # everything warm before anything counts
        rsa.newkeys = ns["fast_newkeys"] if stub else newkeys
        timer.timeit(200)
    for _, stub, timer in timers:
        rsa.newkeys = ns["fast_newkeys"] if stub else newkeys
        os.getppid()
        timer.timeit(calls)
        os.getppid()
    rsa.newkeys = newkeys
    print("\n".join(name for name, _, _ in timers[::2]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1000, help="calls counted per row and side (default 1000)")
    parser.add_argument("--only", metavar="SUBSTR", help="only rows whose name contains SUBSTR")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.calls, args.only)
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")

    out = tempfile.mkdtemp()
    try:
        command = ["valgrind", "--tool=callgrind", "--dump-before=getppid",
                   "--callgrind-out-file=" + os.path.join(out, "cg"), sys.executable, os.path.abspath(__file__),
                   "--child", "--calls", str(args.calls)] + (["--only", args.only] if args.only else [])
        names = subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               universal_newlines=True).stdout.split("\n")
        # dump k is what ran before the k-th os.getppid: the even ones are measured
        dumps = sorted(glob.glob(os.path.join(out, "cg.*")), key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = []
        for path in dumps:
            with open(path) as f:
                totals.append(next(int(line.split()[1]) for line in f if re.match(r"(summary|totals):", line)))
        counts = [n / args.calls for n in totals[1::2]]
    finally:
        shutil.rmtree(out)

    print("CPython %s, instructions per call (callgrind)\n" % sys.version.split()[0])
    print("%-44s %10s %10s %7s" % ("row", "method", "floor", "ratio"))
    for i, name in enumerate(n for n in names if n):
        method, floor = counts[2 * i], counts[2 * i + 1]
        print("%-44s %10.0f %10.0f %7.3f" % (name, method, floor, method / floor))


if __name__ == "__main__":
    main()
