"""The release's own checks: what a shared object needs, read without binutils,
against the promise of a wheel's tags; and the one version the release names."""
import importlib
import importlib.util
import os
import platform
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

import crypt_main

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("wheel_check", str(ROOT / "scripts" / "wheel_check.py"))
wheel_check = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(wheel_check)
ARCH = platform.machine()

# A build with the sanitizers links their runtimes, which a release build
# never does: what these tests read is the module as a release builds it.
release_build = pytest.mark.skipif(os.environ.get("CRYPT_MAIN_SANITIZED") == "1",
                                   reason="the sanitized build links its runtime")


def stdlib_extension(name):
    try:
        path = getattr(importlib.import_module(name), "__file__", None) or ""
    except ImportError:
        path = ""
    if not path.endswith(".so"):
        pytest.skip("%s is not a shared object here" % name)
    return path


def readelf(path):
    """NEEDED entries and version needs of a shared object, as binutils reads them."""
    if not shutil.which("readelf"):
        pytest.skip("readelf is not installed")

    def lines(option):
        return subprocess.run(["readelf", "-W", option, path], stdout=subprocess.PIPE, universal_newlines=True,
                              check=True).stdout.splitlines()

    needed = [line.split("[")[1].rstrip("]") for line in lines("-d") if "(NEEDED)" in line]
    versions, library, inside = {}, None, False
    for line in lines("-V"):
        if line.startswith("Version "):
            inside = line.startswith("Version needs section")
        elif inside and "File:" in line:
            library = re.search(r"File: (\S+)", line).group(1)
            versions[library] = set()
        elif inside and "Name:" in line:
            versions[library].add(re.search(r"Name: (\S+)", line).group(1))
    return needed, versions


@pytest.mark.parametrize("which", ["crypt_main", "_ssl", "_ctypes"])
def test_needs_read_as_readelf_reads_them(which):
    path = crypt_main.__file__ if which == "crypt_main" else stdlib_extension(which)
    _, needed, versions = wheel_check.elf_needs(Path(path).read_bytes())
    assert (needed, versions) == readelf(path)


@pytest.mark.parametrize("tag, promise", [
    ("manylinux_2_17_x86_64", ((2, 17), "x86_64")),
    ("manylinux_2_28_aarch64", ((2, 28), "aarch64")),
    ("manylinux2014_x86_64", ((2, 17), "x86_64")),
    ("manylinux2010_x86_64", ((2, 12), "x86_64")),
    ("manylinux1_i686", ((2, 5), "i686")),
    ("linux_x86_64", None),
    ("musllinux_1_2_x86_64", None),
    ("any", None),
])
def test_tag_promise(tag, promise):
    assert wheel_check.tag_promise(tag) == promise


def wheel(tmp_path, shared_object, *platforms, name="crypt_main-0-cp3-cp3-x.whl"):
    path = tmp_path / name
    with zipfile.ZipFile(str(path), "w") as whl:
        whl.write(shared_object, "crypt_main.so")
        whl.writestr("crypt_main-0.dist-info/WHEEL", "Wheel-Version: 1.0\n" + "".join(
            "Tag: cp3-cp3-%s\n" % p for p in platforms))
        whl.writestr("crypt_main-stubs/__init__.pyi", "")
    return str(path)


def newest_glibc(path):
    _, _, versions = wheel_check.elf_needs(Path(path).read_bytes())
    return max(wheel_check.glibc_version(v) for v in versions["libc.so.6"])


@release_build
def test_module_passes_at_the_glibc_it_needs_and_fails_below(tmp_path):
    major, minor = newest_glibc(crypt_main.__file__)
    at = wheel(tmp_path, crypt_main.__file__, "manylinux_%d_%d_%s" % (major, minor, ARCH))
    assert wheel_check.check(at)[2] == []
    below = wheel(tmp_path, crypt_main.__file__, "manylinux_%d_%d_%s" % (major, minor - 1, ARCH),
                  "manylinux_2_99_%s" % ARCH)
    assert wheel_check.check(below)[2] == ["crypt_main.so needs GLIBC_%d.%d, newer than glibc %d.%d of its tag"
                                           % (major, minor, major, minor - 1)]


@pytest.mark.parametrize("platforms, problem", [
    (["linux_" + ARCH], "platform tag linux_%s names no glibc" % ARCH),
    (["manylinux_2_99_%s" % ARCH, "linux_" + ARCH], "platform tag linux_%s names no glibc" % ARCH),
    (["manylinux_2_99_ppc64le"], "crypt_main.so is for machine"),
])
@release_build
def test_tags_that_promise_the_wrong_thing_fail(tmp_path, platforms, problem):
    problems = wheel_check.check(wheel(tmp_path, crypt_main.__file__, *platforms))[2]
    assert len(problems) == 1 and problems[0].startswith(problem)


@release_build
def test_libraries_beyond_libc_fail(tmp_path, capsys):
    extension = stdlib_extension("_ssl")
    bad = wheel(tmp_path, extension, "manylinux_2_99_" + ARCH)
    problems = wheel_check.check(bad)[2]
    _, needed, versions = wheel_check.elf_needs(Path(extension).read_bytes())
    others = [lib for lib in needed if lib != "libc.so.6"]
    assert others and all("crypt_main.so needs %s" % lib in problems for lib in others)
    assert all(any(v in p and lib in p for p in problems) for lib in others for v in versions.get(lib, ()))
    # the command line: a line per wheel, failing if any wheel fails
    good = wheel(tmp_path, crypt_main.__file__, "manylinux_2_99_" + ARCH, name="good.whl")
    assert wheel_check.main([good, bad]) == 1
    out = capsys.readouterr().out.splitlines()
    assert [line[:4] for line in out] == ["ok  ", "FAIL"]


def test_one_version_and_the_changelog_starts_at_it():
    project = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    version = re.search(r'^\[project\][^[]*?^version = "([^"]+)"', project, re.M | re.S).group(1)
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    # Unreleased changes may stand above; every release carries its date.
    headings = re.findall(r"^## (.*)$", changelog, re.M)
    releases = [h for h in headings if h != "Unreleased"]
    assert headings.index(releases[0]) <= 1 and releases[0].split()[0] == version
    assert all(re.match(r"^\d+\.\d+\.\d+ — \d{4}-\d\d-\d\d$", h) for h in releases), releases
    try:
        from importlib import metadata
    except ImportError:
        metadata = pytest.importorskip("importlib_metadata")
    try:
        installed = metadata.version("crypt_main")
    except metadata.PackageNotFoundError:
        pytest.skip("crypt_main is not installed as a distribution")
    assert installed == version
