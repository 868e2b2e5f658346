# Sourced by the other scripts: find_python VERSION prints the path of a
# CPython of that minor version (pyenv first, then PATH; "3.14d" names the
# debug build); kestrine_python VERSION does the same but lets pyenv install
# a missing version.
find_python() {
    local version="$1" root candidate
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    candidate="$(ls -d "$root"/versions/"$version".* 2>/dev/null | sort -V | tail -n 1)"
    if [ -n "$candidate" ] && [ -x "$candidate/bin/python" ]; then
        echo "$candidate/bin/python"
    else
        command -v "python$version"
    fi
}

kestrine_python() {
    local version="$1"
    if find_python "$version"; then
        return 0
    elif command -v pyenv >/dev/null 2>&1 && pyenv install -s "$version" >&2; then
        find_python "$version"
    else
        echo "no Python $version found" >&2
        return 1
    fi
}

# tool_venv NAME VERSION [packages...]: the venv .venv/NAME for that Python,
# with pip current and the packages installed; prints its python.
tool_venv() {
    local name="$1" version="$2"
    shift 2
    local base venv=".venv/$name"
    base="$(kestrine_python "$version")" || return 1
    [ -x "$venv/bin/python" ] || "$base" -m venv "$venv" >&2 || return 1
    "$venv/bin/python" -m pip install -q --upgrade pip "$@" >&2 || return 1
    echo "$venv/bin/python"
}

# kestrine_venv VERSION [pip install args...]: the venv .venv/VERSION with
# kestrine built and installed from this checkout; prints its python.
kestrine_venv() {
    local version="$1" python
    shift
    python="$(tool_venv "$version" "$version")" || return 1
    "$python" -m pip install -q --force-reinstall --no-deps "$@" . >&2 || return 1
    echo "$python"
}

# asan_venv VERSION: the venv .venv/asan-VERSION with kestrine and its test
# helper built with AddressSanitizer and UBSan (CMakePresets.json's
# "sanitize"), unstripped; prints its python. scikit-build-core sets the
# build type itself, over the preset's: it is told Debug too.
asan_venv() {
    local version="$1" python
    python="$(tool_venv "asan-$version" "$version" 'pytest>=8' 'hypothesis>=6')" || return 1
    "$python" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="build/asan-{wheel_tag}" \
        -Ccmake.args=--preset=sanitize -Ccmake.build-type=Debug -Cinstall.strip=false . >&2 || return 1
    echo "$python"
}

# sanitizer_env LOG [PRELOAD...]: the environment for running the
# interpreter (which is not instrumented) over the sanitizer build, reports
# going to LOG.*; extra libraries are preloaded ahead of the sanitizer's.
# libstdc++ is preloaded too, or ASan cannot find the real __cxa_throw.
sanitizer_env() {
    local log="$1"
    shift
    echo "LD_PRELOAD=$* $(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    echo "PYTHONMALLOC=malloc"
    echo "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$log:suppressions=$PWD/scripts/asan.supp${*:+:verify_asan_link_order=0}"
    echo "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$log"
}

# zig builds libc++ and the other runtimes of each target once and caches
# them by content, wherever zig itself lives: root's cache goes beside the
# sid chroots, so a machine that keeps those keeps the ten minutes that
# building libc++ for the two macOS targets takes, whatever the checkout.
[ -n "${ZIG_GLOBAL_CACHE_DIR:-}" ] || [ "$(id -u)" != 0 ] || export ZIG_GLOBAL_CACHE_DIR=/var/cache/kestrine/zig

# zig_toolchain: zig from PyPI (clang with libc++, and the C library
# headers of many targets) in the venv .venv/zig; prints the zig program.
zig_toolchain() {
    local python
    python="$(tool_venv zig 3.12 'ziglang>=0.17,<0.18')" || return 1
    "$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

# skipped WHAT WHY: says that WHAT is skipped and why, and fails under CI
# (CI=true), where nothing may be skipped.
skipped() {
    echo "=== $1 skipped: $2 ===" >&2
    [ "${CI:-}" != true ]
}

# python_source VERSION: "here" when this machine (or the chroot we are in)
# has that CPython, or pyenv may still install it (3.12, 3.13); "sid" when
# the sid chroot of scripts/sid.sh has it or can make it. Otherwise fails,
# the reason last on standard error.
python_source() {
    local version="$1"
    if [ "${KESTRINE_IN_SID:-}" = 1 ] || find_python "$version" >/dev/null || [[ "$version" =~ ^3\.1[23]$ ]]; then
        echo here
    elif [[ " 3.14 3.15 3.14d " == *" $version "* ]]; then
        bash scripts/sid.sh --check >&2 && echo sid
    else
        echo "no Python $version here, nor in the sid chroot" >&2
        return 1
    fi
}

# cross_configure TARGET VERSION BUILD [CMAKE ARGS...]: configures BUILD for
# the Linux TARGET (i686, aarch64 or armv7l) with its preset and toolchain
# file (CMakePresets.json, cmake/toolchains/), against the CPython VERSION
# of that architecture's sid chroot (scripts/sid.sh), made if missing.
# A build directory configured without the toolchain file starts afresh:
# CMake reads one into a new cache only.
cross_configure() {
    local target="$1" version="$2" build="$3" arch
    shift 3
    case "$target" in
        i686) arch=i386 ;;
        aarch64) arch=arm64 ;;
        armv7l) arch=armhf ;;
        *) echo "no cross build for $target" >&2; return 1 ;;
    esac
    KESTRINE_ARCH="$arch" bash scripts/sid.sh true >&2 || return 1
    grep -qs cmake/toolchains/ "$build"/CMakeFiles/*/CMakeSystem.cmake || set -- --fresh "$@"
    cmake --preset "$target" -B "$build" -DKESTRINE_TARGET_PYTHON="$version" "$@" >/dev/null
}
