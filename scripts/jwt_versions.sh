#!/usr/bin/env bash
# Runs the token tests against every PyJWT release whose behaviour the
# specialised token paths were compared with (the paths accept no other),
# one venv per interpreter, the release installed in turn.
#
#   scripts/jwt_versions.sh [pytest args...]
#
# Set RELEASES="3.7:2.8.0 3.11:2.13.0,2.15.1" (interpreter:releases) to choose.
set -u
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-$HOME/.pyenv}
venvs=${VENVS_DIR:-.venvs}
releases=${RELEASES:-3.7:2.8.0 3.11:2.9.0,2.10.0,2.10.1,2.11.0,2.12.0,2.12.1,2.13.0,2.14.0,2.15.0 3.13:2.15.1}
failed=()

for entry in $releases; do
    minor=${entry%%:*} versions=${entry#*:}
    python=$(ls -d "$root"/versions/"$minor".*/bin/python 2>/dev/null | sort -V | tail -1)
    if [ -z "$python" ]; then
        echo "== CPython $minor: not installed under $root" >&2
        failed+=("$entry")
        continue
    fi
    venv="$venvs/py$minor-jwt"
    rm -rf "$venv"
    if ! "$python" -m venv "$venv" || ! "$venv/bin/python" -m pip install -q '.[test]'; then
        failed+=("$entry")
        continue
    fi
    # the expiry boundary is tried under time-machine where a release of it
    # installs; without it that test skips
    "$venv/bin/python" -c 'import time_machine' 2>/dev/null || "$venv/bin/python" -m pip install -q time-machine ||
        echo "== CPython $minor: no time-machine, the boundary test skips" >&2
    for version in ${versions//,/ }; do
        echo "== CPython $minor, PyJWT $version"
        if ! "$venv/bin/python" -m pip install -q "PyJWT==$version" ||
            ! "$venv/bin/python" -m pytest tests/tokens "$@"; then
            failed+=("$minor:$version")
        fi
    done
done

[ ${#failed[@]} -eq 0 ] || { echo "== FAILED: ${failed[*]}"; exit 1; }
echo "== token tests passed with every PyJWT release listed"
