"""Allocation-failure sweep of one method, run in a child process:

    python nomemory_child.py METHOD
    python nomemory_child.py --library jwt   (the same sweep of PyJWT alone)

For each case of the method, for n = 0, 1, 2, ... it lets the first n
allocations succeed and fails the ones after them, makes the call, and checks
its outcome: an exception (a MemoryError, or what the call raises anyway) or
the call's ordinary result. A SystemError that names the method means that
it returned a result with an exception set, or failed without one. The sweep
of a case ends at the first n at which the call completes as it does without
failures and made no more than n allocations.

Library state: python-rsa and pycryptodome answer from memory (see
catalog.RsaStandIn and catalog.CipherStandIn), so that the sweeps try this
module's steps rather than the libraries' own handling of failures.

Leaks: each case is swept three times, making every attempt REPEAT times so
that a leak at a single n shows; the last sweep must leave the allocated
blocks and the tracked objects where it found them. Interpreters that leak
by themselves under failing allocations (3.10 to 3.12, found by a canary)
are swept once, for the outcomes only.

The failures come in a burst, once of one allocation (the rest of the call,
its cleanup and its traceback entry run with memory to spare) and once of
sixteen (they fail as well). The burst has an end because the interpreter
cannot go on without memory: 3.7 aborts when normalising an exception fails
32 times over, and from 3.11 on, unwinding an exception out of a `with`
block retries a failed allocation forever.

Prints one line per problem and exits 1 if there was any; a crash ends the
process with a signal.
"""
import faulthandler
import gc
import sys

import _testcapi

import catalog

LIMIT = 100000  # attempts per case before it counts as never completing
WINDOWS = (1, 16)  # allocations that fail after the first n
TOLERANCE = 50  # noise; a leak at one n shows REPEAT times over
REPEAT = 128  # attempts at each n in the measured sweep
WARMUPS = 2  # sweeps before the measured one


class LeftSet(Exception):
    """A call that returned a result and left an exception set."""


def attempt(f, args, kwargs, n, window):
    """The call with allocations n+1 to n+window failing: (result, error,
    whether no allocation failed)."""
    _testcapi.set_nomemory(n, n + window)
    try:
        result = f(*args, **kwargs)
        error = None
    except BaseException as e:
        result = None
        error = e
    try:
        bytearray(64)
        within = True
    except MemoryError:
        within = False
    except SystemError as e:
        # A call through f(*args) without keywords skips the interpreter's
        # check of the result; the next call finds the exception left set.
        within = False
        result, error = None, LeftSet(e)
    _testcapi.remove_mem_hooks()
    forget_tracebacks(error)
    return result, error, within


def forget_tracebacks(error):
    """Drops the tracebacks of an exception and of those it chains to. Short
    of memory, 3.12 and later raise one shared MemoryError, which would keep
    every frame it passed through alive and look like a leak."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        error.__traceback__ = None
        error = error.__cause__ or error.__context__


def ours(error):
    """Whether a SystemError names a method of TarvikCryptMain. Short of
    memory, the interpreter's own Python functions can fail without an
    exception (3.11 and later lose one whose creation fails): that is not
    this module's fault."""
    return "TarvikCryptMain." in str(error)


def wrong(case, normal, result, error):
    """What is wrong with an outcome under failing allocations, or None."""
    kind, value = normal
    if error is not None:
        if isinstance(error, LeftSet) or isinstance(error, SystemError) and ours(error):
            return "%s: %s" % (type(error).__name__, error)
        return None
    if case.method == "_token_decrypt" and isinstance(result, str):
        return None  # it turns every failure into a result string
    if kind == "raised":
        return "returned %r where the call raises %s" % (result, value.__name__)
    if type(result) is not type(value):
        return "returned %r, not a %s" % (result, type(value).__name__)
    if case.deterministic and result != value:
        return "returned %r, not %r" % (result, value)
    return None


def as_usual(case, normal, result, error):
    """Whether an outcome is the one the call has without failures."""
    kind, value = normal
    if kind == "raised":
        return type(error) is value
    return error is None and type(result) is type(value) and (result == value or not case.deterministic)


def sweep(case, window, repeat, problems):
    """Sweeps n up from 0, each n `repeat` times; returns the last n."""
    f = catalog.target(case)
    normal = catalog.outcome(case)
    with catalog.conditions(case):
        for n in range(LIMIT):
            for _ in range(repeat):
                result, error, within = attempt(f, case.args, case.kwargs, n, window)
                problem = wrong(case, normal, result, error)
                if problem:
                    problems.setdefault("%s: window %d: %s" % (catalog.label(case), window, problem), n)
                complete = within and as_usual(case, normal, result, error)
                del result, error
            if complete:
                return n
    problems["%s: still allocating after %d attempts" % (catalog.label(case), LIMIT)] = LIMIT
    return LIMIT


def state():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


class _Canary:
    def key(self, item):
        return item


def interpreter_leaks():
    """Whether the interpreter leaks on its own when an allocation fails as C
    code calls a Python method: 3.10 to 3.12 keep the instance alive."""
    def canary_sweep():
        for n in range(40):
            for _ in range(REPEAT):
                canary = _Canary()
                _testcapi.set_nomemory(n, n + 1)
                try:
                    sorted([b""], key=canary.key)
                except MemoryError:
                    pass
                _testcapi.remove_mem_hooks()

    gc.disable()
    canary_sweep()
    before = state()
    canary_sweep()
    after = state()
    gc.enable()
    return max(b - a for a, b in zip(before, after)) > TOLERANCE


def main(method):
    faulthandler.enable()
    # Where the interpreter leaks by itself under failing allocations, what
    # is left behind says nothing about this module: the sweeps then check
    # outcomes only.
    measure = not interpreter_leaks()
    print("leaks measured:", "yes" if measure else "no, the interpreter leaks by itself")
    problems = {}
    catalog.MEMO_RSA = True
    stand_ins = dict(rsa=catalog.RsaStandIn(), AES=catalog.CipherStandIn(catalog.AES),
                     DES=catalog.CipherStandIn(catalog.DES))
    with catalog.globals_changed(**stand_ins):
        for case in catalog.CASES:
            if case.method == method:
                sweep_case(case, measure, problems)
    for problem, n in problems.items():
        print("PROBLEM (first at n=%d) %s" % (n, problem))
    return 1 if problems else 0


def sweep_case(case, measure, problems):
    catalog.outcome(case)  # warm: caches, lazy imports, traceback entries
    repeat = REPEAT if measure else 1
    for window in WINDOWS:
        gc.disable()
        for _ in range(WARMUPS if measure else 0):  # fill caches and free lists
            sweep(case, window, repeat, problems)
        before = state()
        count = sweep(case, window, repeat, problems)
        after = state()
        gc.enable()
        grown = [b - a for a, b in zip(before, after)]
        if measure and max(grown) > TOLERANCE:
            problems["%s: window %d: left %d blocks and %d objects behind"
                     % (catalog.label(case), window, *grown)] = count
        print("%s: window %d: %d allocations, %+d blocks, %+d objects" % (catalog.label(case), window, count, *grown))


def library_sweep(name):
    """PyJWT's encode and decode under the same sweep, without this module:
    3.12 and 3.13 crash in it (in the json encoder, in function creation)."""
    faulthandler.enable()
    token = catalog.jwt.encode({"data": 1}, catalog.SECRET, algorithm="HS256")
    calls = [lambda: catalog.jwt.encode({"data": [1, {"a": 2}], "iss": "me"}, catalog.SECRET, algorithm="HS256"),
             lambda: catalog.jwt.decode(token, catalog.SECRET, algorithms=["HS256"])]
    for call in calls:
        call()
        for window in WINDOWS:
            for n in range(1000):
                _testcapi.set_nomemory(n, n + window)
                try:
                    call()
                except BaseException:
                    pass
                _testcapi.remove_mem_hooks()
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "--library":
        sys.exit(library_sweep(sys.argv[2]))
    sys.exit(main(sys.argv[1]))
