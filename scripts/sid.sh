#!/usr/bin/env bash
# Runs a command in a Debian unstable (sid) chroot, which provides the
# CPythons that this machine's distribution does not: python3.14, python3.15
# and the debug interpreter python3.14d, with their headers, g++ and CMake.
#
#   bash scripts/sid.sh COMMAND [ARGS...]   e.g. bash scripts/sid.sh bash scripts/test.sh 3.15
#   bash scripts/sid.sh --check             says whether the chroot exists or can be made
#
# $KESTRINE_ARCH picks a chroot of another Debian architecture, one per
# target that the suite runs on: i386 (run natively by the x86-64 kernel),
# arm64 and armhf (run by qemu-user through binfmt_misc). Those hold what
# running the suite needs: python3.14, its headers (which scripts/target.sh
# cross-compiles against), binutils, and pytest and hypothesis from Debian,
# which spares pip under emulation; i386, which builds natively, has g++
# and CMake too.
#
#   KESTRINE_ARCH=arm64 bash scripts/sid.sh python3.14 -c 'import platform; print(platform.machine())'
#
# The chroot lives in $KESTRINE_SID (default /var/cache/kestrine/sid, or
# /var/cache/kestrine/sid-ARCH for another architecture) and is made with
# debootstrap (about 8 minutes and 1.6 GB, under 1 GB for the other
# architectures; 10 to 15 minutes under emulation) when
# missing, which needs root; debootstrap itself (and qemu-user for a foreign
# architecture) is installed with apt-get if need be, and uses its default
# mirror unless $KESTRINE_SID_MIRROR names another.
# The command runs with this checkout as its working directory, mounted at
# the same absolute path inside the chroot, so the project's scripts run
# there unchanged and leave their venvs and builds in the checkout.
# /proc, /dev and the checkout are mounted in a private mount namespace:
# they vanish when the command ends and never show on the host, so nothing
# accumulates over runs, and concurrent runs do not disturb each other.
set -euo pipefail
checkout="$(cd "$(dirname "$0")/.." && pwd -P)"
arch="${KESTRINE_ARCH:-amd64}"
case "$arch" in
    amd64)
        root="${KESTRINE_SID:-/var/cache/kestrine/sid}"
        # g++-12 builds the wheels: an older libstdc++ keeps their symbol versions low.
        packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,python3.14-dbg,g++,g++-12,cmake,make,git,ca-certificates
        needed=(usr/bin/python3.14 usr/bin/python3.15 usr/bin/python3.14d usr/bin/g++ usr/bin/g++-12 usr/bin/cmake) ;;
    i386|arm64|armhf)
        root="${KESTRINE_SID:-/var/cache/kestrine/sid-$arch}"
        # binutils: the tests read the modules' symbols with nm.
        packages=python3.14-dev,python3.14-venv,libc6-dev,python3-pytest,python3-hypothesis,binutils
        needed=(usr/bin/python3.14 usr/include/python3.14/Python.h usr/lib/python3/dist-packages/pytest
                usr/lib/python3/dist-packages/hypothesis usr/bin/nm)
        if [ "$arch" = i386 ]; then
            packages+=,g++,cmake,make
            needed+=(usr/bin/g++ usr/bin/cmake)
        fi ;;
    *) echo "sid.sh: KESTRINE_ARCH is amd64, i386, arm64 or armhf, not $arch" >&2; exit 1 ;;
esac
# The host's qemu interprets a foreign chroot's programs, from binfmt_misc
# entries with the F flag (opened when registered, so usable inside it).
case "$arch" in
    arm64) qemu=qemu-aarch64 ;;
    armhf) qemu=qemu-arm ;;
    *) qemu= ;;
esac

fail() { echo "sid.sh: $*" >&2; exit 1; }

# The host's packages that this script needs, installed when missing.
host_packages() {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

ready() {
    local file
    [ -d "$root" ] && [ ! -e "$root/debootstrap" ] || return 1
    for file in "${needed[@]}"; do
        [ -e "$root/$file" ] || return 1
    done
}

# Why the chroot can neither be used nor made, if so.
obstacle() {
    [ "$(id -u)" = 0 ] || { echo "entering or making a chroot needs root"; return 1; }
    command -v unshare >/dev/null || { echo "unshare (util-linux) is missing"; return 1; }
    if [ -n "$qemu" ] && ! emulated && ! command -v apt-get >/dev/null; then
        echo "no binfmt_misc entry for $qemu, and no apt-get to install qemu-user-static"; return 1
    fi
    ready && return 0
    [ ! -e "$root/debootstrap" ] || { echo "debootstrap has not finished in $root (still running, or interrupted)"; return 1; }
    command -v debootstrap >/dev/null || command -v apt-get >/dev/null \
        || { echo "neither debootstrap nor apt-get (to install it) is available"; return 1; }
}

emulated() {
    grep -qs '^flags: .*F' "/proc/sys/fs/binfmt_misc/$qemu"
}

# Registers the host's qemu-user with binfmt_misc, so that the chroot's
# programs run: binfmt-support registers qemu-user-static's entries with the
# F flag.
emulation() {
    [ -n "$qemu" ] || return 0
    emulated && return 0
    [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    if [ ! -e "/usr/share/binfmts/$qemu" ] || ! command -v update-binfmts >/dev/null; then
        host_packages qemu-user-static binfmt-support
    fi
    update-binfmts --enable "$qemu" 2>/dev/null || true
    emulated || fail "binfmt_misc has no entry with the F flag for $qemu"
}

# debootstrap works in a side directory that is renamed when complete, so an
# interrupted run never leaves a half-made chroot at $root. The lock keeps
# concurrent callers from making it twice; run in a subshell, which releases
# it on leaving.
create() {
    local partial="$root.partial" log="$root.log"
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    if ready; then
        return 0
    fi
    if [ -e "$root" ]; then
        configure
        # Made by an older version of this script: add what it lacks, and
        # only that. sid's Release file may look expired to apt (sid moves
        # on, the mirror or this clock may lag): the check is turned off.
        unshare --mount --propagation private bash "$checkout/scripts/sid.sh" --enter sh -c '
            missing="$(for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)"
            apt-get -o Acquire::Check-Valid-Until=false update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null' sh ${packages//,/ }
        ready || fail "$root lacks some of: ${needed[*]}"
        return 0
    fi
    command -v debootstrap >/dev/null || host_packages debootstrap
    if [ -e "$partial" ]; then
        # debootstrap mounts /proc and /sys in its target: never delete through a mount.
        ! findmnt -rn -o TARGET | grep -q "^$partial/" || fail "mounts remain under $partial"
        rm -rf "$partial"
    fi
    echo "sid.sh: making the chroot at $root with debootstrap (log: $log)" >&2
    if ! debootstrap --arch="$arch" --variant=minbase --include="$packages" sid "$partial" ${KESTRINE_SID_MIRROR:-} >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        fail "debootstrap failed (log: $log)"
    fi
    mv "$partial" "$root"
}

# The chroot's own copies of these are stale or not trusted by the network
# in between: pip verifies the package index against the host's bundle.
# Every run does this, concurrent ones too: each writes a copy of its own
# and renames it into place, which replaces the file atomically (cp's
# unlink-then-create fails with "File exists" when another cp creates the
# file in between).
configure() {
    local file
    for file in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
        [ -f "$file" ] || continue
        cp -L "$file" "$root$file.sid-$BASHPID"
        mv -f "$root$file.sid-$BASHPID" "$root$file"
    done
}

# Runs inside the new mount namespace: mounts what is not mounted yet, then
# enters the chroot. Everything here ends with the namespace.
enter() {
    mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
    mountpoint -q "$root/dev" || mount --rbind /dev "$root/dev"
    mkdir -p "$root$checkout"
    mountpoint -q "$root$checkout" || mount --bind "$checkout" "$root$checkout"
    # A 32-bit personality makes uname say i686, as a 32-bit kernel would:
    # what reads the machine from it (pip's tags, platform) sees the target.
    local personality=()
    [ "$arch" != i386 ] || personality=(setarch i686)
    # sid's arm64 programs sign their return addresses, and qemu's default
    # CPU authenticates each with the architecture's cipher: Python runs some
    # 50 times slower than without pointer authentication, where those
    # instructions are no-ops.
    [ "$arch" != arm64 ] || export QEMU_CPU="${QEMU_CPU:-max,pauth=off}"
    # PIP_FIND_LINKS and the like may name host paths, absent in the chroot.
    exec env -u PIP_FIND_LINKS -u VIRTUAL_ENV -u PYTHONHOME -u PYTHONPATH -u LD_PRELOAD -u LD_LIBRARY_PATH -u PYENV_VERSION \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        KESTRINE_IN_SID=1 "${personality[@]}" chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$checkout" "$@"
}

if [ "${1:-}" = --enter ]; then
    shift
    enter "$@"
fi
if [ "${1:-}" = --check ]; then
    if why="$(obstacle)"; then
        ready && echo "sid $arch chroot ready at $root" || echo "sid $arch chroot can be made at $root"
        exit 0
    fi
    echo "no sid $arch chroot: $why"
    exit 1
fi
[ $# -gt 0 ] || fail "usage: bash scripts/sid.sh COMMAND [ARGS...] | --check"
[ "${KESTRINE_IN_SID:-}" != 1 ] || fail "already inside the chroot"
why="$(obstacle)" || fail "no sid $arch chroot: $why"
emulation
ready || (create) || exit 1
configure
exec unshare --mount --propagation private bash "$checkout/scripts/sid.sh" --enter "$@"
