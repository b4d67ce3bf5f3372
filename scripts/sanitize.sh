#!/usr/bin/env bash
# Builds crypt_main with AddressSanitizer and UndefinedBehaviorSanitizer into
# a venv of its own and runs the whole test suite against that build.
#
#   scripts/sanitize.sh [pytest args...]
#
# PYTHON chooses the interpreter (default python3). The interpreter is not
# instrumented, so every Python process of the run gets the sanitizer runtime
# preloaded, through a python in the venv that sets LD_PRELOAD for itself
# alone: the peers that tests start (php, openssl) run as they are. Objects
# come from malloc, not the interpreter's pools, so that a use after free or
# an overrun of one is seen. Leak detection is off (the interpreter keeps
# memory until exit by design), and pycryptodome must not load its libraries
# with RTLD_DEEPBIND, which the runtime refuses. Any error report of either
# sanitizer ends the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=.venv-sanitize

rm -rf "$venv"
"$python" -m venv "$venv"
# CMAKE_ARGS reaches scikit-build-core with any pip (3.7's has no --config-settings).
CMAKE_ARGS="-DCRYPT_MAIN_SANITIZE=ON" "$venv/bin/python" -m pip install -q --no-cache-dir '.[test]' </dev/null

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYCRYPTODOME_DISABLE_DEEPBIND=1
export PYTHONMALLOC=malloc
export CRYPT_MAIN_SANITIZED=1
runtime="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
interpreter=$(readlink -f "$venv/bin/python")
rm "$venv/bin/python"
cat >"$venv/bin/python" <<WRAPPER
#!/usr/bin/env bash
LD_PRELOAD="$runtime" exec -a "\$0" "$interpreter" "\$@"
WRAPPER
chmod +x "$venv/bin/python"
# Each Python process drops the preload from what its children inherit.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo 'import os; os.environ.pop("LD_PRELOAD", None)' >"$site/crypt_main_sanitized.pth"

"$venv/bin/python" -m pytest -p no:cacheprovider "$@" </dev/null
