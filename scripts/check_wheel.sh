#!/usr/bin/env bash
# Installs a wheel the way a user without a compiler would, then runs the tour
# and the tests against it.
#
#   scripts/check_wheel.sh PYTHON WHEEL [pytest args...]
#
# A fresh venv on PYTHON; CC and CXX name a command that fails, and PATH holds
# every command of the machine but the C and C++ compilers. The wheel goes in
# with --only-binary :all:, its runtime dependencies come from the package
# index, and so do the test tools. The tests run from this checkout against
# the installed module (the conftest refuses any other crypt_main); the pytest
# arguments default to -m "not build and not slow": what CI runs on every
# interpreter, less the tests that compile the module.
# WHEEL and the work folder are relative to the repository root, so the same
# command runs inside the unstable root, where the repository is the cwd.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 2 ] || { echo "usage: $0 PYTHON WHEEL [pytest args...]" >&2; exit 2; }
python=$(command -v "$1") wheel=$2
shift 2
[ $# -gt 0 ] || set -- -m "not build and not slow"
[[ -f $wheel && $wheel == *.whl ]] || { echo "not a wheel file: $wheel" >&2; exit 2; }
minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
work=$PWD/.venvs/check-$minor
venv=$work/venv
rm -rf "$work"
mkdir -p "$work/bin"

# A PATH of links to every command on the current one, except compilers.
is_compiler() {
    case $1 in
        cc | c++ | c89 | c99 | gcc | g++ | gcc-[0-9]* | g++-[0-9]* | *-gcc | *-g++ | *-gcc-[0-9]* | *-g++-[0-9]* | \
            *-cc | *-c++ | clang | clang++ | clang-[0-9]* | clang++-[0-9]* | *-clang | *-clang++ | \
            tcc | icc | icpc | icx | icpx) return 0 ;;
    esac
    return 1
}
commands=()
declare -A seen
IFS=: read -ra dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    [[ $dir == /* && -d $dir ]] || continue
    for cmd in "$dir"/*; do
        name=${cmd##*/}
        [[ -f $cmd && -x $cmd && -z ${seen[$name]:-} ]] || continue
        seen[$name]=1
        is_compiler "$name" || commands+=("$cmd")
    done
done
ln -s -t "$work/bin" "${commands[@]}"
printf '#!/bin/sh\necho "no compiler in this check: $0 $*" >&2\nexit 1\n' >"$work/no-compiler"
chmod +x "$work/no-compiler"
export CC=$work/no-compiler CXX=$work/no-compiler
export PATH=$venv/bin:$work/bin
for compiler in cc c++ gcc g++ clang clang++; do
    if command -v "$compiler" >/dev/null; then
        echo "a compiler is still reachable: $(command -v "$compiler")" >&2
        exit 1
    fi
done

echo "-- install $wheel on $minor ($python), no compiler"
"$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check)
"${pip[@]}" install -q --only-binary :all: "$wheel"
"${pip[@]}" install -q --only-binary :all: pytest hypothesis
# mypy is optional: without a binary of it for this interpreter the typing tests skip.
"${pip[@]}" install -q --only-binary :all: mypy ||
    echo "-- mypy has no binary distribution for $minor: the typing tests will skip"
"${pip[@]}" list

# Imported from outside the checkout, the module is the installed one.
(cd "$work" && "$venv/bin/python" -c '
import crypt_main, sys
print("-- crypt_main from", crypt_main.__file__)
assert crypt_main.__file__.startswith(sys.prefix), "not the installed module"
')

echo "-- the tour"
"$venv/bin/python" examples/tour.py

echo "-- the tests: $*"
# The console script, not python -m pytest: that would put the checkout on sys.path.
CRYPT_MAIN_INSTALLED_UNDER=$venv "$venv/bin/pytest" -p no:cacheprovider "$@" tests
