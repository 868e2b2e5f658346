#!/usr/bin/env bash
# Compiles every unit, warnings as errors, with clang and libc++ (zig) for
# targets this machine cannot run: macOS on arm64 and x86-64, Linux on
# aarch64, and 32-bit Linux on i386, where the instance sizes are checked by
# the classes' static assertions. Nothing is run; the macOS module is linked
# too (below).
#
# CPython's headers are the same on every platform but for pyconfig.h, so
# these builds use this machine's Python 3.12 headers. Its pyconfig.h (x86-64
# Linux) has the type sizes of every 64-bit target here; what it gets wrong
# for macOS is feature macros (HAVE_*) that kestrine does not read. For i386
# its SIZEOF_* and ALIGNOF_* lines are replaced by those of Debian's i386
# Python package, which is downloaded, not installed.
#
# The platform unit includes no Python header and is also compiled for
# Windows and FreeBSD, the other branches it has.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
zig="$(zig_toolchain)"
python="$(kestrine_python 3.12)"
include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
out="build/cross"
mkdir -p "$out"

# The package lists and the .deb go to a private apt state under .venv/,
# which leaves the system's own apt configuration alone.
i386_pyconfig() {
    local state="$PWD/.venv/apt-i386" deb
    local apt=(-o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
               -o APT::Architecture=i386 -o APT::Architectures=i386 -o APT::Sandbox::User=root)
    if [ ! -s "$state/pyconfig.h" ]; then
        mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
        apt-get -qq "${apt[@]}" update
        deb="$(apt-cache "${apt[@]}" depends --important libpython3-dev |
               awk '$2 ~ /^libpython3\.[0-9]+-dev$/ { print $2; exit }')"
        (cd "$state" && rm -f ./*.deb && apt-get -qq "${apt[@]}" download "$deb")
        dpkg --fsys-tarfile "$state"/*.deb |
            tar -xO --wildcards './usr/include/i386-linux-gnu/*/pyconfig.h' > "$state/pyconfig.h"
    fi
    echo "$state/pyconfig.h"
}

# This machine's headers with the i386 type sizes: a copy of the tree, since
# Python.h finds pyconfig.h beside itself before any -I directory.
i386_include() {
    local sizes dir="$out/include-i386"
    sizes="$(sed -nE 's/^#define ((SIZEOF|ALIGNOF)_[A-Z0-9_]+) (.*)$/s|^#define \1 .*|#define \1 \3|/p' \
             "$(i386_pyconfig)")"
    rm -rf "$dir" && cp -r "$include" "$dir"
    sed "$sizes" "$include/pyconfig.h" > "$dir/pyconfig.h"
    grep -q '^#define SIZEOF_VOID_P 4$' "$dir/pyconfig.h"
    echo "$dir"
}

# The flags of CMake's builds (cmake/flags.cmake), warnings as errors.
mapfile -t flags < <(cmake -P cmake/flags.cmake)
[ ${#flags[@]} -gt 0 ] || exit 1
flags+=(-Werror)
units=(src/binding/*.cpp src/kestrine_py.cpp src/shape/*.cpp src/mesh/*.cpp
       tests/helper/kestrine_testing.cpp)

# compile TARGET INCLUDE UNIT...: every unit for TARGET, two at a time.
compile() {
    local target="$1" inc="$2" unit
    shift 2
    for unit in "$@"; do mkdir -p "$out/$target/$(dirname "$unit")"; done
    printf '%s\n' "$@" | xargs -P 2 -I{} \
        "$zig" c++ -target "$target" "${flags[@]}" ${release:-} -Isrc "-I$inc" -c {} -o "$out/$target/{}.o"
    echo "$target: $# units"
}

# link_macos TARGET ARCH: links the module's units for macOS as CMake does
# there, a bundle that leaves CPython's symbols to the loader, exports
# PyInit_kestrine alone and is dead-stripped, and checks that. zig's own
# Mach-O linker cannot: it makes no bundle (the driver drops -bundle, and
# rejects -Wl,-bundle), and it drops -exported_symbols_list, so its dylib
# also exports libc++'s operator new and delete (weak: the loader would bind
# other images to them) and the linker-made ___dso_handle and
# __mh_dylib_header. LLVM's
# ld64.lld links instead, with the libc++, libc++abi and compiler-rt that
# zig builds for the target (a zig link of the same objects names them) and
# zig's libSystem stub. That stub lists arm64e but not arm64, which zig
# links against as one, and an arm64e.x1 slice that LLVM 16 cannot parse:
# a copy has arm64 for arm64e and no arm64e.x1.
link_macos() {
    local target="$1" arch="$2" dir="$out/$1" objects=() unit runtime
    for unit in "${units[@]}"; do
        case "$unit" in src/binding/static_runtime.cpp | tests/*) ;; *) objects+=("$dir/$unit.o") ;; esac
    done
    runtime="$(ZIG_VERBOSE_LINK=1 "$zig" c++ -target "$target" -O2 -shared -Wl,-undefined,dynamic_lookup \
               -o "$dir/zig-kestrine.dylib" "${objects[@]}" 2>&1 | sed -n 's/^zig ld //p' \
               | tr ' ' '\n' | grep -E '/lib(c\+\+abi|c\+\+|compiler_rt)\.a$')" || return 1
    mkdir -p "$dir/sdk"
    "$python" -c 'import re, sys; text = open(sys.argv[1]).read()
open(sys.argv[2], "w").write(re.sub(r",\s*arm64e\.x1-[a-z]+", "", text).replace("arm64e-", "arm64-"))' \
        "$(dirname "$zig")/lib/libc/darwin/libSystem.tbd" "$dir/sdk/libSystem.tbd"
    echo _PyInit_kestrine > "$dir/kestrine.exports"
    "$ld64" -arch "$arch" -platform_version macos "${target#*-macos.}" "${target#*-macos.}" -bundle \
        -undefined dynamic_lookup -exported_symbols_list "$dir/kestrine.exports" -dead_strip \
        -o "$dir/kestrine.so" "${objects[@]}" $runtime -L "$dir/sdk" -lSystem
    llvm-objdump --macho --private-header "$dir/kestrine.so" | grep -q ' BUNDLE ' \
        || { echo "$target: kestrine.so is not a bundle" >&2; return 1; }
    local exports
    exports="$(llvm-nm -gU --format=just-symbols "$dir/kestrine.so")"
    [ "$exports" = _PyInit_kestrine ] || { echo "$target: kestrine.so exports:" $exports >&2; return 1; }
    echo "$target: kestrine.so linked, a bundle exporting _PyInit_kestrine alone ($(du -k "$dir/kestrine.so" | cut -f1) KiB)"
}

i386="$(i386_include)"
# The macOS units are built as for a release, since they are linked.
release="-O2 -DNDEBUG" compile aarch64-macos.11.0 "$include" "${units[@]}"
release="-O2 -DNDEBUG" compile x86_64-macos.10.15 "$include" "${units[@]}"
compile aarch64-linux-gnu.2.17 "$include" "${units[@]}"
compile x86-linux-gnu.2.17 "$i386" "${units[@]}"
compile x86_64-windows-gnu "$include" src/binding/platform.cpp
compile x86_64-freebsd "$include" src/binding/platform.cpp
ld64="$(command -v ld64.lld-16 || command -v ld64.lld)" || { echo "no ld64.lld (Debian's lld-16)" >&2; exit 1; }
link_macos aarch64-macos.11.0 arm64
link_macos x86_64-macos.10.15 x86_64
