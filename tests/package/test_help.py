"""help(crypt_main) is the toolbox: the module's docstring gives every method
of the class one line, with its parameters as the method table has them."""
import pathlib
import pydoc
import re
import sys

import crypt_main

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "module"))
from method_table import METHODS  # noqa: E402

LINE = re.compile(r"^  (\w+)\(([^)]*)\)(?: -> ([^:]+))?: (.+)$")


def test_the_docstring_has_a_line_per_method_with_its_signature():
    lines = {}
    for line in crypt_main.__doc__.splitlines():
        m = LINE.match(line)
        if m:
            assert m.group(1) not in lines, "two lines for " + m.group(1)
            lines[m.group(1)] = m
    assert list(lines) == [m.name for m in METHODS]
    for method in METHODS:
        line = lines[method.name]
        assert line.group(2) == method.params, method.name
        # What it gives (all but __init__) and what it does, in a few words.
        assert (line.group(3) is None) == (method.name == "__init__"), method.name
        assert len(line.group(4).split()) >= 4, method.name


def test_help_shows_it_and_the_methods_keep_their_own_doc():
    text = pydoc.render_doc(crypt_main, renderer=pydoc.plaintext)
    for method in METHODS:
        assert "  %s(%s)" % (method.name, method.params) in text
        doc = getattr(crypt_main.TarvikCryptMain, method.name).__doc__
        assert doc == "TarvikCryptMain.%s(%s)" % (method.name, method.params)
