"""Argument binding, fuzzed: random positional counts and keyword sets, through
the class and through an instance, against the model in method_table. A call
that the model refuses must raise its TypeError; a call that binds must do
exactly what the plain positional call with the model's bound arguments does.

What a body does is observed without running any cryptography: every module
global is an Echo that records what is read and called on it, and every
argument is a Probe that records what is asked of it and answers with an
Echo. The record of a call, and its result, show which argument reached
which parameter."""
import contextlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import crypt_main
from method_table import METHODS, binding_error, defaults, param_names

C = crypt_main.TarvikCryptMain
GLOBALS = ("base64", "hashlib", "hmac", "time", "a2b_hex", "b2a_hex", "jwt", "rsa", "AES", "DES", "pad", "unpad")
TRACE = []


def describe(value):
    if isinstance(value, (Probe, Echo)):
        return value.label
    if isinstance(value, dict):
        return {describe(k): describe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [describe(v) for v in value]
    if isinstance(value, (str, bytes, int)) or value is None:
        return repr(value)
    return type(value).__name__


class Echo:
    """A module global, or anything reached from one."""

    def __init__(self, label):
        self.label = label

    def __getattr__(self, name):
        TRACE.append(("get", self.label, name))
        return Echo("%s.%s" % (self.label, name))

    def __call__(self, *args, **kwargs):
        TRACE.append(("call", self.label, describe(args), describe(kwargs)))
        return Echo(self.label + "()")

    def __iter__(self):  # unpacked into a key pair
        return iter([Echo(self.label + "[0]"), Echo(self.label + "[1]")])

    def __len__(self):  # a multiple of 16, as zero padding wants
        return 16

    def __int__(self):
        return 0

    def __add__(self, other):
        return self


class Probe(int):
    """An argument: an int, so that it also serves as a lifetime."""

    def __new__(cls, label):
        self = super().__new__(cls, 7)
        self.label = label
        return self

    def _asked(self, what, *args):
        TRACE.append(("asked", self.label, what, describe(args)))

    def encode(self, *args, **kwargs):
        self._asked("encode", args, kwargs)
        return Echo(self.label + ".encode()")

    def __getattr__(self, name):
        self._asked(name)
        return Echo("%s.%s" % (self.label, name))

    def __bool__(self):
        self._asked("bool")
        return False

    def __eq__(self, other):
        self._asked("==", other)
        return False

    def __radd__(self, other):
        self._asked("+", other)
        return Echo(self.label + "+")

    __hash__ = int.__hash__


@contextlib.contextmanager
def echoing_globals():
    saved = {name: getattr(crypt_main, name) for name in GLOBALS}
    try:
        for name in GLOBALS:
            setattr(crypt_main, name, Echo(name))
        yield
    finally:
        for name, value in saved.items():
            setattr(crypt_main, name, value)


def run(f, args, kwargs):
    """The record and the outcome of one call."""
    del TRACE[:]
    try:
        outcome = ("returned", describe(f(*args, **kwargs)))
    except Exception as e:
        outcome = ("raised", type(e), str(e))
    return list(TRACE), outcome


class Name(str):
    pass


def spelled(name, how):
    """The same keyword name as another object: a copy that is not
    interned, or a str subclass; both must match by value."""
    return {"same": name, "copy": "".join(list(name)), "subclass": Name(name)}[how]


@st.composite
def calls(draw):
    m = draw(st.sampled_from(METHODS))
    params = param_names(m)
    via_instance = draw(st.booleans())
    implicit = 1 if via_instance and not m.static else 0
    k = draw(st.integers(0, len(params) + 1 - implicit))
    pool = params + ["self", "x", "valuee", "Value", ""]
    names = draw(st.lists(st.sampled_from(pool), unique=True, max_size=len(pool)))
    names = [spelled(n, draw(st.sampled_from(["same", "copy", "subclass"]))) for n in names]
    return m, via_instance, k, names


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(calls())
def test_binding_follows_the_model(call):
    m, via_instance, k, names = call
    obj = C()
    f = getattr(obj if via_instance else C, m.name)
    args = [Probe("arg%d" % i) for i in range(k)]
    kwargs = {name: Probe("kw:" + name) for name in names}
    implicit = [obj] if via_instance and not m.static else []
    expected = binding_error(m, len(implicit) + k, list(kwargs))
    with echoing_globals():
        trace, outcome = run(f, args, kwargs)
        if expected is not None:
            assert outcome == ("raised", TypeError, expected)
            assert trace == []
            return
        # the model's binding, passed positionally through the class
        params, given_positionally = param_names(m), implicit + args
        fallback = dict(zip(reversed(params), reversed(defaults(m))))
        bound = given_positionally + [kwargs[p] if p in kwargs else fallback[p]
                                      for p in params[len(given_positionally):]]
        assert (trace, outcome) == run(getattr(C, m.name), bound, {})


@pytest.mark.parametrize("m", METHODS, ids=lambda m: m.name)
def test_every_parameter_is_seen(m):
    # the observation works: each parameter leaves its mark in the record
    params = param_names(m)
    args = [Probe("p:" + p) for p in params]
    with echoing_globals():
        trace, outcome = run(getattr(C, m.name), args, {})
    record = repr((trace, outcome))
    missing = [p for p in params if "'p:%s'" % p not in record]
    assert missing == ([] if m.name != "__init__" else ["self"])
