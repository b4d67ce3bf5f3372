#!/usr/bin/env bash
# Runs the token tests against the PyJWT releases whose behaviour the
# specialised token paths were compared with, each in a venv of its own.
#
#   scripts/jwt_versions.sh [pytest args...]
#
# Set PAIRS="3.7:2.8.0 3.11:2.13.0" (interpreter:PyJWT) to choose.
set -u
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-$HOME/.pyenv}
venvs=${VENVS_DIR:-.venvs}
pairs=${PAIRS:-3.7:2.8.0 3.11:2.10.0 3.11:2.13.0 3.13:2.15.1}
failed=()

for pair in $pairs; do
    minor=${pair%%:*} version=${pair#*:}
    python=$(ls -d "$root"/versions/"$minor".*/bin/python 2>/dev/null | sort -V | tail -1)
    if [ -z "$python" ]; then
        echo "== CPython $minor: not installed under $root" >&2
        failed+=("$pair")
        continue
    fi
    echo "== CPython $minor, PyJWT $version"
    venv="$venvs/py$minor-jwt$version"
    rm -rf "$venv"
    if "$python" -m venv "$venv" &&
        "$venv/bin/python" -m pip install -q '.[test]' "PyJWT==$version" &&
        "$venv/bin/python" -m pytest tests/tokens "$@"; then
        :
    else
        failed+=("$pair")
    fi
done

[ ${#failed[@]} -eq 0 ] || { echo "== FAILED: ${failed[*]}"; exit 1; }
echo "== token tests passed with every PyJWT release listed"
