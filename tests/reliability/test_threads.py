"""Calls from several threads are independent: 8 threads making 10,000 mixed
calls each get exactly what the same calls give one after another, errors
included (their type and message)."""
import random
import sys
import threading

import pytest

from catalog import CASES, target

THREADS, CALLS = 8, 10000

# Deterministic calls that leave the module's globals alone.
MIX = [c for c in CASES if c.deterministic and c.setup is None]


def outcome(case):
    try:
        return "value", target(case)(*case.args, **case.kwargs)
    except Exception as e:
        return "raised", type(e), str(e)


@pytest.fixture
def switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    yield
    sys.setswitchinterval(interval)


def test_threads_get_the_serial_results(switching):
    expected = [outcome(case) for case in MIX]
    plans = [random.Random(seed).choices(range(len(MIX)), k=CALLS) for seed in range(THREADS)]
    mismatches = [[] for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(i):
        start.wait()
        for k in plans[i]:
            got = outcome(MIX[k])
            if got != expected[k]:
                mismatches[i].append((MIX[k].method, MIX[k].label, got))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [m[:3] for m in mismatches] == [[]] * THREADS
