"""Every method gives back what it allocates, on its success path and on
each kind of error path: 10,000 calls after a warm-up leave the allocated
blocks, the tracked objects and the reference counts of the arguments where
they were."""
import gc
import sys

import pytest

from catalog import CASES, conditions, label, target

# Noise, the same for every case: free lists, caches, and the garbage that
# PyJWT's key check leaves for the collector. A leak of one block in 20
# calls would exceed it.
TOLERANCE = 500
WARM_UP, CALLS = 5000, 10000


def counts(case):
    """(warm-up, calls): fewer for a 2048-bit key, whose calls take a
    millisecond each; a block lost per call still shows."""
    return (1000, 2000) if "2048-bit" in case.label else (WARM_UP, CALLS)


def calls(f, args, kwargs, n):
    for _ in range(n):
        try:
            f(*args, **kwargs)
        except Exception:
            pass


def state(arguments):
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects()), [sys.getrefcount(a) for a in arguments]


def own(values):
    """The arguments that the case alone holds: None, True and the like are
    referred to from everywhere and their counts move on their own."""
    return [v for v in values if sys.getrefcount(v) < 100]


@pytest.mark.slow
@pytest.mark.parametrize("case", CASES, ids=label)
def test_no_leak(case):
    f, arguments = target(case), own([*case.args, *case.kwargs.values()])
    warm_up, n = counts(case)
    with conditions(case):
        calls(f, case.args, case.kwargs, warm_up)
        blocks, objects, refs = state(arguments)
        calls(f, case.args, case.kwargs, n)
        blocks_after, objects_after, refs_after = state(arguments)
    assert abs(blocks_after - blocks) <= TOLERANCE
    assert abs(objects_after - objects) <= TOLERANCE
    assert refs_after == refs
