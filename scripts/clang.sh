#!/usr/bin/env bash
# Builds kestrine and its test helper with clang and libc++ (zig, for
# x86-64 Linux with glibc 2.17 as the floor) and runs the whole suite on it,
# for Python 3.12 by default (pass versions to choose). The GCC build of
# scripts/test.sh lives in other venvs and build directories.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
zig="$(zig_toolchain)"
target=x86_64-linux-gnu.2.17

# CMake takes a compiler as one program: the target goes into a wrapper.
bin="$PWD/.venv/zig/bin"
for tool in cc c++; do
    printf '#!/bin/sh\nexec %q %s -target %s "$@"\n' "$zig" "$tool" "$target" > "$bin/zig-$tool"
    chmod +x "$bin/zig-$tool"
done

mkdir -p build
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12)
for version in "${versions[@]}"; do
    echo "=== clang, Python $version ==="
    python="$(tool_venv "clang-$version" "$version" 'pytest>=8' 'hypothesis>=6')"
    # Warnings are errors: zig replays a cached compile without its warnings.
    CC="$bin/zig-cc" CXX="$bin/zig-c++" "$python" -m pip install -v --force-reinstall --no-deps \
        -Cbuild-dir="build/clang-{wheel_tag}" -Ccmake.define.KESTRINE_TESTING=ON \
        -Ccmake.define.CMAKE_CXX_FLAGS=-Werror . > "build/clang-$version.log" 2>&1 ||
        { tail -n 60 "build/clang-$version.log"; exit 1; }
    "$python" -m pytest -q -p no:cacheprovider tests
done
