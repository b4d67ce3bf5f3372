"""The class TarvikCryptMain and its method objects, seen by introspection."""

import inspect
import pickle
import types

import pytest

import crypt_main
from method_table import METHODS, defaults, param_names, split

C = crypt_main.TarvikCryptMain
by_name = pytest.mark.parametrize("m", METHODS, ids=lambda m: m.name)


@by_name
def test_attributes(m):
    f = getattr(C, m.name)
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        m.name, "TarvikCryptMain." + m.name, "crypt_main", "TarvikCryptMain.%s(%s)" % (m.name, m.params))
    assert repr(f.__defaults__) == repr(defaults(m) or None)  # False itself, not 0
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {}
    assert f.__globals__ is crypt_main.__dict__


@by_name
def test_code_and_signature(m):
    f = getattr(C, m.name)
    code = f.__code__
    assert code.co_varnames == tuple(param_names(m) + split(m.locals))
    assert code.co_argcount == len(param_names(m))
    assert (code.co_name, code.co_firstlineno) == (m.name, m.line)
    assert code.co_filename.endswith("crypt_main.py")
    assert f.__code__ is code
    assert str(inspect.signature(f)) == "(%s)" % m.params
    for p in inspect.signature(f).parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@by_name
def test_storage_and_binding(m):
    stored, f, obj = C.__dict__[m.name], getattr(C, m.name), C()
    if m.static:
        assert type(stored) is staticmethod and stored.__func__ is f
        assert getattr(obj, m.name) is f
    else:
        assert stored is f
        bound = getattr(obj, m.name)
        assert type(bound) is types.MethodType
        assert bound.__func__ is f and bound.__self__ is obj
        assert str(inspect.signature(bound)) == "(%s)" % ", ".join(split(m.params)[1:])


@by_name
def test_pickled_by_reference(m):
    f = getattr(C, m.name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f


def test_class():
    assert type(C) is type
    assert C.__bases__ == (object,)
    assert (C.__name__, C.__qualname__, C.__module__, C.__doc__) == (
        "TarvikCryptMain", "TarvikCryptMain", "crypt_main", None)
    # the methods in table order, and nothing else of our own
    assert list(C.__dict__) == ["__module__"] + [m.name for m in METHODS] + ["__dict__", "__weakref__", "__doc__"]
    assert str(inspect.signature(C)) == "()"
    obj = C()
    assert obj.__dict__ == {} and obj.__init__() is None and obj.__dict__ == {}
    obj.anything = 1  # no __slots__


def test_subclass_overrides_are_seen():
    class Sub(C):
        def _add_to_16(self, value):
            return "mine"

    assert Sub()._add_to_16("v") == "mine"
    assert Sub._base64_encrypt("abc") == "YWJj"
