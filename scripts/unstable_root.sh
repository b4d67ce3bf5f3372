#!/usr/bin/env bash
# CPython 3.14 and 3.15 for crypt_main where pyenv has none: a Debian unstable
# root, made once with debootstrap and kept outside the repository, that
# carries those interpreters (with their headers and venv), a compiler and the
# php and openssl peers of the test suite.
#
#   scripts/unstable_root.sh build                  make the root (a finished one is reused)
#   scripts/unstable_root.sh run CMD...             CMD in the root, this repository at /project
#   scripts/unstable_root.sh test [pytest args...]  the suite on each interpreter of PYTHONS
#   scripts/unstable_root.sh test-one MINOR [pytest args...]
#                                                   one interpreter, no closing count
#   scripts/unstable_root.sh has MINOR              whether a finished root has it
#                                                   (scripts/every_python.sh uses these two)
#
# CRYPT_MAIN_UNSTABLE_ROOT chooses where the root lives; PYTHONS="3.14" narrows
# the test run. The packages come from the Debian mirror that this machine's
# own apt sources name. Every command runs in a mount namespace of its own, so
# the mounts it needs (/proc, /sys, /dev, /project) end with it, whatever way
# it ends.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
self="$here/scripts/$(basename "${BASH_SOURCE[0]}")"
root=${CRYPT_MAIN_UNSTABLE_ROOT:-/var/cache/crypt_main/unstable-root}
marker="$root/.crypt_main-root-complete"   # a finished root
owner="$root/.crypt_main-root"             # a root this script started
source_dir=/opt/crypt_main-src   # the copy of the sources that `test` builds
venv_dir=/opt/venvs              # one venv per interpreter, made anew each run
packages=(
    python3.14 python3.14-dev python3.14-venv
    python3.15 python3.15-dev python3.15-venv
    g++ make cmake binutils git ca-certificates
    php-cli php-mbstring openssl
)
# Bump when the list above changes: a root made from another list is redone.
root_recipe=1

die() { echo "unstable_root: $*" >&2; exit 1; }
say() { echo "unstable_root: $*" >&2; }

if [ "${1:-}" = has ]; then
    [ $# -eq 2 ] && [ -e "$marker" ] && [ -x "$root/usr/bin/python$2" ]
    exit
fi
[ "$(id -u)" = 0 ] || die "needs root (debootstrap, mount, chroot)"

# The first Debian archive (not the security one) that apt on this machine uses.
debian_mirror() {
    local uri
    uri=$(
        {
            for f in /etc/apt/sources.list.d/*.sources; do
                [ -e "$f" ] && sed -n 's/^URIs:[[:space:]]*//p' "$f" | tr ' \t' '\n\n'
            done
            for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
                [ -e "$f" ] && sed -e 's/\[[^]]*\]//' "$f" |
                    awk '$1 == "deb" && $3 !~ /security/ { print $2 }'
            done
        } | grep -E '^https?://' | grep -v -- '-security' | grep -E '/debian/?$' | head -1
    )
    [ -n "$uri" ] || die "no Debian mirror found in /etc/apt/sources.list{,.d/*}"
    echo "${uri%/}"
}

# The CA bundle pip is told to trust on this machine, if any.
pip_cert() {
    local cert=${PIP_CERT:-}
    if [ -z "$cert" ] && command -v pip3 >/dev/null 2>&1; then
        cert=$(pip3 config list 2>/dev/null | sed -n "s/^[^=]*\.cert='\(.*\)'$/\1/p" | head -1)
    fi
    if [ -z "$cert" ] && [ -r /etc/pip.conf ]; then
        cert=$(sed -n 's/^[[:space:]]*cert[[:space:]]*=[[:space:]]*//p' /etc/pip.conf | head -1)
    fi
    if [ -z "$cert" ] && [ -r /etc/ssl/certs/ca-certificates.crt ]; then
        cert=/etc/ssl/certs/ca-certificates.crt
    fi
    echo "$cert"
}

# The host's name service and CA bundle, fresh for every command; the bundle
# lands at the path the host's own settings (PIP_CERT, SSL_CERT_FILE...) name.
refresh_host_settings() {
    local cert
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    cert=$(pip_cert)
    if [ -n "$cert" ] && [ -r "$cert" ]; then
        mkdir -p "$root$(dirname "$cert")"
        cp -L "$cert" "$root$cert"
        printf '[global]\ncert = %s\n' "$cert" >"$root/etc/pip.conf"
    fi
}

# Mounts nothing on the host: refuses to go on if anything is mounted below
# the root, since removing the root would then reach through those mounts.
assert_unmounted() {
    if findmnt -rn -o TARGET | awk -v r="$root" 'index($0, r "/") == 1 || $0 == r' | grep -q .; then
        die "something is mounted below $root; unmount it first"
    fi
}

# Runs "$@" in a mount namespace of its own: mounts made there vanish with it.
in_namespace() {
    unshare --mount --propagation private -- "$@"
}

# (in the namespace) /proc, /sys, /dev and, given a directory, /project.
mount_pseudo() {
    local project=${1:-}
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    if [ -n "$project" ]; then
        mkdir -p "$root/project"
        mount --bind "$project" "$root/project"
    fi
}

# (in the namespace) the mounts again, undone on every exit of the command.
unmount_pseudo() {
    local target
    for target in "$root/project" "$root/dev" "$root/sys" "$root/proc"; do
        mountpoint -q "$target" && { umount -R "$target" 2>/dev/null || umount -lR "$target" 2>/dev/null || true; }
    done
}

# The environment of commands in the root: the caller's, less what points at
# this machine's own interpreters and local package indexes.
chroot_env() {
    local keep=(env)
    local name
    for name in $(compgen -e); do
        case $name in
            PIP_FIND_LINKS | PIP_EXTRA_INDEX_URL | PIP_INDEX_URL | PIP_CONSTRAINT | PIP_CONFIG_FILE) keep+=(-u "$name") ;;
            VIRTUAL_ENV | PYTHONPATH | PYTHONHOME | PYENV* | LD_LIBRARY_PATH | LD_PRELOAD | CONDA*) keep+=(-u "$name") ;;
        esac
    done
    keep+=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
        LANG=C.UTF-8 LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
    printf '%s\0' "${keep[@]}"
}

# Hidden entry point, inside the namespace: mounts, then CMD in the root.
#   _enter WORKDIR PROJECT_DIR_OR_EMPTY CMD...
enter_namespace() {
    local workdir=$1 project=$2
    shift 2
    trap unmount_pseudo EXIT
    mount_pseudo "$project"
    local envv=()
    mapfile -d '' envv < <(chroot_env)
    local status=0
    chroot "$root" "${envv[@]}" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$workdir" "$@" || status=$?
    return "$status"
}

# CMD in the root, with the given working directory and project mount.
enter() {
    refresh_host_settings
    in_namespace "$self" _enter "$@"
}

build() {
    if [ -e "$marker" ] && [ "$(cat "$marker")" = "$root_recipe" ]; then
        say "reusing the root at $root"
        return 0
    fi
    local started=$SECONDS mirror
    export DEBIAN_FRONTEND=noninteractive
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "installing debootstrap"
        apt-get update -qq </dev/null
        apt-get install -y -qq debootstrap </dev/null >/dev/null
    fi
    case $root in
        /*/*) ;;
        *) die "CRYPT_MAIN_UNSTABLE_ROOT must be an absolute path below a directory: $root" ;;
    esac
    # Only a root this script started is removed (an interrupted one is made
    # anew); any other directory there is left alone.
    if [ -d "$root" ] && [ ! -e "$owner" ] && [ -n "$(ls -A "$root")" ]; then
        die "$root exists and was not made by this script; remove it or choose another CRYPT_MAIN_UNSTABLE_ROOT"
    fi
    mirror=$(debian_mirror)
    say "making the root at $root from $mirror (unstable)"
    assert_unmounted
    rm -rf "$root"
    mkdir -p "$root"
    : >"$owner"

    local keyring=()
    [ -r /usr/share/keyrings/debian-archive-keyring.gpg ] &&
        keyring=(--keyring=/usr/share/keyrings/debian-archive-keyring.gpg)
    # debootstrap mounts /proc and /sys in the root for its second stage; in a
    # namespace of its own, an interrupted run leaves none of them behind.
    in_namespace debootstrap --variant=minbase "${keyring[@]}" \
        sid "$root" "$mirror" </dev/null >"$root.debootstrap.log" 2>&1 || {
        tail -30 "$root.debootstrap.log" >&2
        die "debootstrap failed (log: $root.debootstrap.log)"
    }
    rm -f "$root.debootstrap.log"

    # An unstable archive's Release file may be past its Valid-Until on a
    # mirror snapshot; its signature is still checked.
    cat >"$root/etc/apt/apt.conf.d/90crypt_main" <<'EOF'
Acquire::Check-Valid-Until "false";
Acquire::Retries "3";
APT::Install-Recommends "false";
APT::Get::Assume-Yes "true";
EOF
    mkdir -p "$root/project" "$root$venv_dir"
    enter / "" sh -c "apt-get update -qq && apt-get install -qq ${packages[*]} >/dev/null && apt-get clean" </dev/null
    echo "$root_recipe" >"$marker"
    say "root ready in $((SECONDS - started)) s"
}

ensure_built() {
    [ -e "$marker" ] && [ "$(cat "$marker")" = "$root_recipe" ] || build
}

# Copies the sources git tracks (as they are in the work tree) into the root.
copy_sources() {
    local dest="$root$source_dir"
    rm -rf "$dest"
    mkdir -p "$dest"
    if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$here" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$dest"
    else
        tar -C "$here" --exclude-vcs --exclude='./build' --exclude='./dist' --exclude='./.venv*' \
            --exclude='*.so' --exclude='__pycache__' -cf - . | tar -xf - -C "$dest"
    fi
}

# One interpreter: a fresh venv in the root, the package from the copy, pytest.
test_one() {
    local minor=$1
    shift
    local python=/usr/bin/python$minor
    if [ ! -x "$root$python" ]; then
        echo "== CPython $minor: not installed in the unstable root $root" >&2
        return 2
    fi
    local version
    version=$(enter / "" "$python" -c 'import sys; print(sys.version.split()[0])' </dev/null)
    echo "== CPython $minor ($python $version, Debian unstable root)"
    local venv="$venv_dir/py$minor"
    # shellcheck disable=SC2016
    enter "$source_dir" "" sh -c '
        python=$1 venv=$2
        shift 2
        rm -rf "$venv" &&
        "$python" -m venv "$venv" &&
        "$venv/bin/python" -m pip install -q ".[test]" &&
        "$venv/bin/python" -m pytest "$@"' sh "$python" "$venv" "$@"
}

run_tests() {
    local wanted=${PYTHONS:-3.14 3.15}
    local failed=() missing=() passed=() status
    ensure_built
    copy_sources
    for minor in $wanted; do
        status=0
        test_one "$minor" "$@" || status=$?
        case $status in
            0) passed+=("$minor") ;;
            2) [ -x "$root/usr/bin/python$minor" ] && failed+=("$minor") || missing+=("$minor") ;;
            *) failed+=("$minor") ;;
        esac
    done
    rm -rf "${root:?}$source_dir"
    echo "== passed on: ${passed[*]:-none}"
    [ ${#missing[@]} -eq 0 ] || echo "== missing interpreters: ${missing[*]}"
    [ ${#failed[@]} -eq 0 ] || echo "== FAILED on: ${failed[*]}"
    echo "interpreters: ${#passed[@]} passed, ${#failed[@]} failed"
    [ ${#failed[@]} -eq 0 ] && [ ${#missing[@]} -eq 0 ]
}

usage() {
    sed -n '/^#   scripts/,/^#$/p' "$self" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

case ${1:-} in
    build) build ;;
    run)
        shift
        [ $# -gt 0 ] || usage
        ensure_built
        enter /project "$here" "$@"
        ;;
    test)
        shift
        run_tests "$@"
        ;;
    test-one)
        shift
        [ $# -gt 0 ] || usage
        minor=$1
        shift
        ensure_built
        copy_sources
        status=0
        test_one "$minor" "$@" || status=$?
        rm -rf "${root:?}$source_dir"
        exit "$status"
        ;;
    _enter)
        shift
        enter_namespace "$@"
        ;;
    *) usage ;;
esac
