#!/usr/bin/env bash
# Builds crypt_main and runs its test suite on every CPython 3.7-3.15 found
# under pyenv, each in its own fresh venv with dependencies from PyPI. A
# version pyenv lacks is taken from the Debian unstable root that
# scripts/unstable_root.sh builds (3.14 and 3.15), when that root is there.
#
#   scripts/every_python.sh [pytest args...]
#
# Set PYTHONS="3.7 3.13" to choose versions. An interpreter of the range that
# is missing is reported, not skipped in silence; the run fails if any
# interpreter's tests fail.
set -u
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-$HOME/.pyenv}
venvs=${VENVS_DIR:-.venvs}
wanted=${PYTHONS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15}
unstable=scripts/unstable_root.sh
failed=() missing=() passed=()

for minor in $wanted; do
    python=$(ls -d "$root"/versions/"$minor".*/bin/python 2>/dev/null | sort -V | tail -1)
    if [ -z "$python" ] && "$unstable" has "$minor"; then
        if "$unstable" test-one "$minor" "$@"; then
            passed+=("$minor")
        else
            failed+=("$minor")
        fi
        continue
    fi
    if [ -z "$python" ]; then
        echo "== CPython $minor: not installed under $root nor in the unstable root ($unstable build)" >&2
        missing+=("$minor")
        continue
    fi
    echo "== CPython $minor ($python)"
    venv="$venvs/py$minor"
    rm -rf "$venv"
    if "$python" -m venv "$venv" &&
        "$venv/bin/python" -m pip install -q '.[test]' &&
        "$venv/bin/python" -m pytest "$@"; then
        passed+=("$minor")
    else
        failed+=("$minor")
    fi
done

echo "== passed on: ${passed[*]:-none}"
[ ${#missing[@]} -eq 0 ] || echo "== missing interpreters: ${missing[*]}"
[ ${#failed[@]} -eq 0 ] || echo "== FAILED on: ${failed[*]}"
echo "interpreters: ${#passed[@]} passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
