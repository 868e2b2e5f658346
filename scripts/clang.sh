#!/usr/bin/env bash
# Builds kestrine and its test helper with clang and libc++ (zig, for
# x86-64 Linux with glibc 2.17 as the floor: CMakePresets.json's "clang" and
# its toolchain file) and runs the whole suite on it, for Python 3.12 by
# default (pass versions to choose). The GCC build of scripts/test.sh lives
# in other venvs and build directories.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
KESTRINE_ZIG="$(zig_toolchain)"
export KESTRINE_ZIG

mkdir -p build
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12)
for version in "${versions[@]}"; do
    echo "=== clang, Python $version ==="
    python="$(tool_venv "clang-$version" "$version" 'pytest>=8' 'hypothesis>=6')"
    # Warnings are errors (the preset): zig replays a cached compile without
    # its warnings. CMake reads a toolchain file into a new cache only: the
    # build directory is the preset's alone.
    "$python" -m pip install -v --force-reinstall --no-deps -Cbuild-dir="build/preset-clang-{wheel_tag}" \
        -Ccmake.args=--preset=clang . > "build/clang-$version.log" 2>&1 ||
        { tail -n 60 "build/clang-$version.log"; exit 1; }
    "$python" -m pytest -q -p no:cacheprovider tests
done
