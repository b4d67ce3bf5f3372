"""The README's examples run and print what the README says they print."""
import doctest
import pathlib

import crypt_main

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    if not README.exists():
        import pytest

        pytest.skip("README.md is not beside the tests")
    # a code fence ends an example's expected output
    text = "\n".join("" if line.startswith("```") else line for line in README.read_text(encoding="utf-8").splitlines())
    test = doctest.DocTestParser().get_doctest(text, {"C": crypt_main.TarvikCryptMain}, "README",
                              str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 10
    assert result.failed == 0
