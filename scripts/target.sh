#!/usr/bin/env bash
# Builds kestrine for another Linux target, warnings as errors, and runs the
# suite there, in that target's Debian sid chroot (scripts/sid.sh):
#
#   bash scripts/target.sh i386    built in the chroot (the x86-64 kernel runs
#                                  it natively); the whole suite, with the helper
#   bash scripts/target.sh arm64   cross-compiled here, run under qemu-user: the
#                                  suite with the helper, long loops cut short
#   bash scripts/target.sh armhf   cross-compiled here, without the helper: a
#                                  smoke import and the public tests under qemu
#
# Compiling under emulation takes half an hour, so only Python runs there.
# The cross compilers are Debian's, from this machine's distribution, and the
# C library is theirs, older than sid's: the modules run on either. The
# target's own python3.14 (run by qemu) tells CMake its ABI tag, and the
# chroot provides its headers. The modules are copied into a venv of the
# chroot's python3.14 that sees its Debian pytest and hypothesis.
# A chroot that can be neither found nor made skips the target with the
# reason; under CI (CI=true) that fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${1:-}"
case "$arch" in
    i386) triple=i386-linux-gnu ;;
    arm64 | aarch64) arch=arm64 triple=aarch64-linux-gnu qemu=qemu-aarch64-static ;;
    armhf) triple=arm-linux-gnueabihf qemu=qemu-arm-static ;;
    *) echo "usage: bash scripts/target.sh i386|arm64|armhf" >&2; exit 2 ;;
esac
export KESTRINE_ARCH="$arch"
build="build/target-$arch"
venv=".venv/target-$arch"
testing=ON
[ "$arch" != armhf ] || testing=OFF
# Both builds add -Werror to CMAKE_CXX_FLAGS, which the project leaves to
# its users: theirs, with a newer compiler, must not fail on a new warning.
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DKESTRINE_TESTING="$testing")

# Inside the chroot: the venv, the modules and stubs put in it, then the tests.
run() {
    local site
    [ -x "$venv/bin/python" ] || python3.14 -m venv --without-pip --system-site-packages "$venv"
    site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    rm -f "$site"/kestrine*.so
    cp "$build"/kestrine*.so "$site/"
    mkdir -p "$site/kestrine-stubs"
    cp src/stubs/kestrine.pyi "$site/kestrine-stubs/__init__.pyi"
    (cd /tmp && "$OLDPWD/$venv/bin/python" -c 'import kestrine, platform
assert kestrine.Cylinder(1.0, 0.3).half_length() == 0.15000000596046448
print("kestrine imports on", platform.machine(), "from", kestrine.__file__)')
    if [ "$testing" = ON ]; then
        "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider tests
    else
        "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider tests --public-only
    fi
}

if [ "${KESTRINE_IN_SID:-}" = 1 ]; then
    if [ "$arch" = i386 ]; then
        cmake -S . -B "$build" "${cmake_args[@]}" -DCMAKE_CXX_FLAGS=-Werror -DPython_EXECUTABLE=/usr/bin/python3.14 >/dev/null
        cmake --build "$build" -j 2
    fi
    # The emulated run cuts its loops short (tests/conftest.py).
    [ "$arch" = i386 ] || export KESTRINE_EMULATED=1
    run
    exit
fi

if ! why="$(bash scripts/sid.sh --check)"; then
    echo "=== $arch skipped: $why ===" >&2
    [ "${CI:-}" != true ] || exit 1
    exit 0
fi
bash scripts/sid.sh true  # made if missing
if [ "$arch" != i386 ]; then
    root="${KESTRINE_SID:-/var/cache/kestrine/sid-$arch}"
    if ! command -v "$triple-g++" >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "g++-$triple" >/dev/null
    fi
    # Debian's pyconfig.h picks the target's own by including
    # <TRIPLE/python3.14/pyconfig.h>: that directory alone is put on the
    # path, not the chroot's C library headers.
    mkdir -p "$build/include/$triple"
    ln -sfn "$root/usr/include/$triple/python3.14" "$build/include/$triple/python3.14"
    # CMake asks the target's python, run by qemu with the chroot's loader
    # and libraries, for its ABI tag (policy CMP0190 of CMake 4.1 and later
    # lets it; an older CMake names the module plainly kestrine.so).
    cmake -S . -B "$build" "${cmake_args[@]}" \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${triple%%-*}" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$qemu;-L;$root" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
        -DCMAKE_CXX_COMPILER="$triple-g++" -DCMAKE_CXX_FLAGS="-Werror -I$PWD/$build/include" \
        -DPython_EXECUTABLE="$root/usr/bin/python3.14" -DPython_INCLUDE_DIR="$root/usr/include/python3.14" >/dev/null
    cmake --build "$build" -j 2
fi
exec bash scripts/sid.sh bash scripts/target.sh "$arch"
