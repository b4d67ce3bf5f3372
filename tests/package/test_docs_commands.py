"""Every shell line of the docs runs as written: each is recognised here (a line
this file does not know fails, so the docs cannot drift), the cheap ones run,
and the install from the clone runs in a fresh venv (slow). The README's test
command is the one CI runs first."""
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ["README.md", "CONTRIBUTING.md", "benchmarks/README.md"] + sorted(
    str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))
SHELL_FENCES = {"sh", "bash", "shell", "console"}


def shell_lines(doc):
    """(where, line) of each shell line: indented code blocks, and fenced blocks marked sh."""
    lines, fence, indented, previous = [], None, False, ""
    for number, text in enumerate((ROOT / doc).read_text(encoding="utf-8").splitlines(), 1):
        stripped = text.strip()
        if stripped.startswith("```"):
            fence = None if fence is not None else stripped[3:].strip()
        elif fence is not None:
            if fence in SHELL_FENCES and stripped:
                lines.append(("%s:%d" % (doc, number), stripped))
        else:
            indented = text.startswith("    ") and bool(stripped) and (indented or previous == "")
            if indented:
                lines.append(("%s:%d" % (doc, number), stripped))
        previous = stripped
    return lines


def steps():
    """Each command of each line (split at &&), with where it stands."""
    for doc in DOCS:
        for where, line in shell_lines(doc):
            for step in line.split("&&"):
                yield where, step.strip()


def extras():
    project = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    section = project.split("[project.optional-dependencies]", 1)[1].split("\n[", 1)[0]
    return set(re.findall(r"^(\w+) = \[", section, re.M))


def check_script(args):
    """A script of the checkout, and every --option it is given appears in it."""
    path = ROOT / args[0]
    assert path.is_file(), args[0]
    source = path.read_text(encoding="utf-8")
    for option in (a.split("=")[0] for a in args[1:] if a.startswith("--")):
        assert '"%s"' % option in source or "%s)" % option in source, "%s has no %s" % (args[0], option)


def check_pip(args):
    assert args[:3] == ["python3", "-m", "pip"] and args[3] == "install", args
    for target in args[4:]:
        m = re.match(r"^\.(?:\[(\w+)\])?$", target)
        if m:
            assert m.group(1) is None or m.group(1) in extras(), target
        else:
            assert re.match(r"^dist/crypt_main-\*.*\.whl$", target), target


def check_pytest(args):
    for arg in args[3:]:
        if not arg.startswith("-") and arg not in ("slow", ""):
            assert (ROOT / arg).exists(), arg


# What each kind of line is, and what is checked of it here. "run" lines run
# as they are (python3 being this interpreter), "slow" ones too, with -m slow;
# the others are checked without running: the install from the clone by the
# slow test below, the wheel's by tests/package/test_release.py, the scripts
# and the test commands by CI, which runs them all.
KNOWN = [
    (r"^python3 -m venv \.venv$", "setup", None),
    (r"^\. \.venv/bin/activate$", "setup", None),
    (r"^mkdir -p \w+$", "setup", None),
    (r"^python3 -m pip install ", "pip", check_pip),
    (r"^python3 -m pytest\b", "pytest", check_pytest),
    (r"^python3 examples/tour\.py$", "run", None),
    (r"^CRYPT_MAIN_GENERIC=1 python3 examples/tour\.py$", "run", None),
    (r"^python3 examples/service\.py --check \d+$", "script", check_script),  # test_service.py drives it
    (r"^python3 -c \"import crypt_main; print\(crypt_main[.\w]*\)\"$", "run", None),
    (r"^python3 examples/service\.py --bench$", "slow", check_script),
    (r"^python3 benchmarks/bench\.py --quick$", "slow", check_script),
    (r"^python3 benchmarks/(bench|table|primitives|instructions)\.py( |$)", "script", check_script),
    (r"^scripts/(release|sanitize|every_python)\.sh( -q| --quick)?$", "script", check_script),
]


def kind(step):
    for pattern, name, check in KNOWN:
        if re.match(pattern, step):
            return name, check
    return None, None


def argv(step):
    words = shlex.split(step)
    env = dict(os.environ)
    while "=" in words[0]:
        name, value = words.pop(0).split("=", 1)
        env[name] = value
    if words[0] == "python3":
        words[0] = sys.executable
    return words, env


def test_every_shell_line_is_known_and_checked():
    found = list(steps())
    assert len(found) > 15
    unknown = ["%s: %s" % (where, step) for where, step in found if kind(step)[0] is None]
    assert not unknown, "shell lines that tests/package/test_docs_commands.py does not know:\n" + "\n".join(unknown)
    for where, step in found:
        name, check = kind(step)
        if check:
            args = shlex.split(step)
            check(args[1:] if check is check_script and args[0] == "python3" else args)


def test_the_readme_test_command_is_what_ci_runs_first():
    readme = [step for where, step in steps() if where.startswith("README.md") and step.startswith("python3 -m pytest")]
    assert readme == ["python3 -m pytest"]
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    commands = [line.strip() for line in ci.splitlines() if "pytest" in line and not line.lstrip().startswith("#")]
    assert commands[0].startswith("python3 -m pip install '.[test]' && python3 -m pytest"), commands[0]


def run_as_written(step):
    words, env = argv(step)
    proc = subprocess.run(words, cwd=str(ROOT), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stdout


@pytest.mark.parametrize("step", sorted({step for _, step in steps() if kind(step)[0] == "run"}))
def test_cheap_lines_run(step):
    run_as_written(step)


@pytest.mark.slow
@pytest.mark.parametrize("step", sorted({step for _, step in steps() if kind(step)[0] == "slow"}))
def test_slow_lines_run(step):
    run_as_written(step)


@pytest.mark.slow
@pytest.mark.build
def test_install_from_the_clone_and_take_the_tour(tmp_path):
    """The README's first lines on a venv of nothing: build from the clone, then the tour."""
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    env["PATH"] = str(venv / "bin") + os.pathsep + env.get("PATH", "")
    for step in ("python3 -m pip install -q .", "python3 examples/tour.py"):
        words = shlex.split(step)
        words[0] = python
        proc = subprocess.run(words, cwd=str(ROOT), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=900)
        assert proc.returncode == 0, proc.stdout
    assert "HS256 tokens" in proc.stdout
