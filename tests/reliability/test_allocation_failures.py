"""Each method under failing allocations, swept in a child process of its
own (see nomemory_child.py): it raises or returns its ordinary result, never
crashes, never returns with an exception set, and leaks nothing."""
import pathlib
import subprocess
import sys

import pytest

from catalog import METHOD_NAMES

CHILD = pathlib.Path(__file__).with_name("nomemory_child.py")


def run(*args):
    return subprocess.run([sys.executable, str(CHILD), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, cwd=str(CHILD.parent))


@pytest.fixture(scope="module")
def jwt_survives():
    """Whether PyJWT itself survives the sweep on this interpreter."""
    return run("--library", "jwt").returncode == 0


@pytest.mark.slow
@pytest.mark.parametrize("method", METHOD_NAMES)
def test_sweep(method, jwt_survives):
    pytest.importorskip("_testcapi")
    if method.startswith("_token") and not jwt_survives:
        pytest.skip("PyJWT crashes this interpreter by itself under failing allocations")
    result = run(method)
    problems = [line for line in result.stdout.splitlines() if line.startswith("PROBLEM")]
    assert result.returncode == 0 and not problems, (result.returncode, problems, result.stderr[-3000:])
