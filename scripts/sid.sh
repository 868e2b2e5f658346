#!/usr/bin/env bash
# Runs a command in a Debian unstable (sid) chroot, which provides the
# CPythons that this machine's distribution does not: python3.14, python3.15
# and the debug interpreter python3.14d, with their headers, g++ and CMake.
#
#   bash scripts/sid.sh COMMAND [ARGS...]   e.g. bash scripts/sid.sh bash scripts/test.sh 3.15
#   bash scripts/sid.sh --check             says whether the chroot exists or can be made
#
# The chroot lives in $KESTRINE_SID (default /var/cache/kestrine/sid) and is
# made with debootstrap (about 8 minutes and 1.4 GB) when missing, which
# needs root; debootstrap itself is installed with apt-get if need be.
# The command runs with this checkout as its working directory, mounted at
# the same absolute path inside the chroot, so the project's scripts run
# there unchanged and leave their venvs and builds in the checkout.
# /proc, /dev and the checkout are mounted in a private mount namespace:
# they vanish when the command ends and never show on the host, so nothing
# accumulates over runs, and concurrent runs do not disturb each other.
set -euo pipefail
checkout="$(cd "$(dirname "$0")/.." && pwd -P)"
root="${KESTRINE_SID:-/var/cache/kestrine/sid}"
packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,python3.14-dbg,g++,cmake,make,git,ca-certificates
needed=(usr/bin/python3.14 usr/bin/python3.15 usr/bin/python3.14d usr/bin/g++ usr/bin/cmake)

fail() { echo "sid.sh: $*" >&2; exit 1; }

ready() {
    local file
    [ -d "$root" ] && [ ! -e "$root/debootstrap" ] || return 1
    for file in "${needed[@]}"; do
        [ -x "$root/$file" ] || return 1
    done
}

# Why the chroot can neither be used nor made, if so.
obstacle() {
    [ "$(id -u)" = 0 ] || { echo "entering or making a chroot needs root"; return 1; }
    command -v unshare >/dev/null || { echo "unshare (util-linux) is missing"; return 1; }
    ready && return 0
    [ ! -e "$root/debootstrap" ] || { echo "debootstrap has not finished in $root (still running, or interrupted)"; return 1; }
    command -v debootstrap >/dev/null || command -v apt-get >/dev/null \
        || { echo "neither debootstrap nor apt-get (to install it) is available"; return 1; }
}

# debootstrap works in a side directory that is renamed when complete, so an
# interrupted run never leaves a half-made chroot at $root. The lock keeps
# concurrent callers from making it twice.
create() {
    local partial="$root.partial" log="$root.log"
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    if ready; then
        return 0
    fi
    [ ! -e "$root" ] || fail "$root exists but lacks some of: ${needed[*]}; remove it to make it again"
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    if [ -e "$partial" ]; then
        # debootstrap mounts /proc and /sys in its target: never delete through a mount.
        ! findmnt -rn -o TARGET | grep -q "^$partial/" || fail "mounts remain under $partial"
        rm -rf "$partial"
    fi
    echo "sid.sh: making the chroot at $root with debootstrap (log: $log)" >&2
    if ! debootstrap --variant=minbase --include="$packages" sid "$partial" ${KESTRINE_SID_MIRROR:-} >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        fail "debootstrap failed (log: $log)"
    fi
    mv "$partial" "$root"
    exec 9>&-
}

# Runs inside the new mount namespace: mounts what is not mounted yet, then
# enters the chroot. Everything here ends with the namespace.
enter() {
    mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
    mountpoint -q "$root/dev" || mount --rbind /dev "$root/dev"
    mkdir -p "$root$checkout"
    mountpoint -q "$root$checkout" || mount --bind "$checkout" "$root$checkout"
    # PIP_FIND_LINKS and the like may name host paths, absent in the chroot.
    exec env -u PIP_FIND_LINKS -u VIRTUAL_ENV -u PYTHONHOME -u PYTHONPATH -u LD_PRELOAD -u LD_LIBRARY_PATH -u PYENV_VERSION \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        KESTRINE_IN_SID=1 chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$checkout" "$@"
}

if [ "${1:-}" = --enter ]; then
    shift
    enter "$@"
fi
if [ "${1:-}" = --check ]; then
    if why="$(obstacle)"; then
        ready && echo "sid chroot ready at $root" || echo "sid chroot can be made at $root"
        exit 0
    fi
    echo "no sid chroot: $why"
    exit 1
fi
[ $# -gt 0 ] || fail "usage: bash scripts/sid.sh COMMAND [ARGS...] | --check"
[ "${KESTRINE_IN_SID:-}" != 1 ] || fail "already inside the chroot"
why="$(obstacle)" || fail "no sid chroot: $why"
ready || create
# The chroot's own copies of these are stale or not trusted by the network
# in between: pip verifies the package index against the host's bundle.
cp -L --remove-destination /etc/resolv.conf "$root/etc/resolv.conf"
bundle=/etc/ssl/certs/ca-certificates.crt
[ ! -f "$bundle" ] || cp -L --remove-destination "$bundle" "$root$bundle"
exec unshare --mount --propagation private bash "$checkout/scripts/sid.sh" --enter "$@"
