#!/usr/bin/env bash
# Builds kestrine for another Linux target, warnings as errors, and runs the
# suite there, in that target's Debian sid chroot (scripts/sid.sh):
#
#   bash scripts/target.sh i386    built in the chroot (the x86-64 kernel runs
#                                  it natively); the whole suite, with the helper
#   bash scripts/target.sh arm64   cross-compiled here, run under qemu-user: the
#                                  suite with the helper, long loops cut short
#   bash scripts/target.sh armhf   cross-compiled here, without the helper: the
#                                  smoke test and the public tests under qemu
#
# Compiling under emulation takes half an hour, so only Python runs there.
# The cross builds are those of the wheels (the presets aarch64 and armv7l
# of CMakePresets.json, cmake/toolchains/): Debian's GCC 12 cross compilers
# of this machine's distribution, whose C library is older than sid's (the
# modules run on either), against the chroot's python3.14 headers. Every
# build here has warnings as errors. The modules are copied into a venv of
# the chroot's python3.14 that sees its Debian pytest and hypothesis.
# A chroot that can be neither found nor made skips the target with the
# reason; under CI (CI=true) that fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
arch="${1:-}"
case "$arch" in
    i386 | armhf) ;;
    arm64 | aarch64) arch=arm64 ;;
    *) echo "usage: bash scripts/target.sh i386|arm64|armhf" >&2; exit 2 ;;
esac
export KESTRINE_ARCH="$arch"
build="build/target-$arch"
venv=".venv/target-$arch"
testing=ON
[ "$arch" != armhf ] || testing=OFF

# Inside the chroot: the venv, the modules and stubs put in it, then the tests.
run() {
    local site public=()
    [ -x "$venv/bin/python" ] || python3.14 -m venv --without-pip --system-site-packages "$venv"
    site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    rm -f "$site"/kestrine*.so
    cp "$build"/kestrine*.so "$site/"
    mkdir -p "$site/kestrine-stubs"
    cp src/stubs/kestrine.pyi "$site/kestrine-stubs/__init__.pyi"
    (cd /tmp && "$OLDPWD/$venv/bin/python" "$OLDPWD/scripts/smoke.py")
    [ "$testing" = ON ] || public=(--public-only)
    "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider tests "${public[@]}"
}

if [ "${KESTRINE_IN_SID:-}" = 1 ]; then
    if [ "$arch" = i386 ]; then
        cmake --preset test-werror -B "$build" -DPython_EXECUTABLE=/usr/bin/python3.14 >/dev/null
        cmake --build "$build" -j 2
    fi
    # The emulated run cuts its loops short (tests/conftest.py).
    [ "$arch" = i386 ] || export KESTRINE_EMULATED=1
    run
    exit
fi

if ! why="$(bash scripts/sid.sh --check)"; then
    skipped "$arch" "$why"
    exit
fi
if [ "$arch" != i386 ]; then
    target=aarch64
    [ "$arch" = arm64 ] || target=armv7l
    cross_configure "$target" 3.14 "$build" -DKESTRINE_TESTING="$testing"
    cmake --build "$build" -j 2
fi
exec bash scripts/sid.sh bash scripts/target.sh "$arch"
