#!/usr/bin/env bash
# Benchmarks kestrine against its peers: bash bench/run.sh [VERSION...]
# (default: 3.12 3.13). For each version: creates or updates .venv/bench-X.Y,
# installs kestrine from this checkout and the tools of bench/requirements.txt,
# builds the peers with bench/CMakeLists.txt into build/bench-peers-X.Y, and
# runs bench/native.py (reading shapes from another extension) and
# bench/bench.py, which records the figures and renders the report in
# build/bench/. BENCH_ARGS is passed on to bench.py (e.g. BENCH_ARGS='--repeats 5';
# BENCH_ARGS=--publish records them in bench/ too, for a commit that changes
# the published numbers).
# Python 3.14 and 3.15 come from the sid chroot, where the repository is out
# of git's reach, so the commit measured is named from outside:
#   KESTRINE_BENCH_COMMIT=$(git rev-parse --short HEAD) bash scripts/sid.sh bash bench/run.sh 3.14 3.15
# then, on the host, bash bench/run.sh re-renders the plot with every version
# (or bench/bench.py --report-only --publish, which needs matplotlib).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)
read -r -a bench_args <<< "${BENCH_ARGS:-}"

quiet_pip() {
    # pip's configuration here may list index locations that do not exist;
    # its warnings about them are noise.
    "$@" 2> >(grep -v "^WARNING: Location '" >&2)
}

for version in "${versions[@]}"; do
    echo "=== Python $version ==="
    base="$(kestrine_python "$version")"
    venv=".venv/bench-$version"
    [ -x "$venv/bin/python" ] || "$base" -m venv "$venv"
    python="$PWD/$venv/bin/python"
    quiet_pip "$python" -m pip install -q --upgrade pip
    # In the chroot, a package without a wheel for that Python is left out
    # rather than built from source (matplotlib's build alone takes longer
    # than the benchmark).
    binary_only=()
    [ "${KESTRINE_IN_SID:-}" != 1 ] || binary_only=(--only-binary=:all:)
    if ! quiet_pip "$python" -m pip install -q "${binary_only[@]}" -r bench/requirements.txt; then
        # An interpreter newer than some peer's releases: the build tools
        # alone, and whichever peers do install; bench.py leaves out the rest.
        echo "--- not every pinned tool installs on Python $version; going on without the missing ones"
        mapfile -t tools < <(grep -E '^(scikit-build-core|cmake|ninja)==' bench/requirements.txt)
        quiet_pip "$python" -m pip install -q "${tools[@]}"
        for pin in $(grep -vE '^(#|scikit-build-core|cmake|ninja)' bench/requirements.txt); do
            quiet_pip "$python" -m pip install -q "${binary_only[@]}" "$pin" || echo "    without $pin"
        done
    fi
    # The instruction counts need valgrind; in the sid chroot it is installed
    # on first use.
    if ! command -v valgrind >/dev/null && [ "${KESTRINE_IN_SID:-}" = 1 ]; then
        # The chroot's package lists may have outlived their Release file's
        # validity; that is no reason to refuse a package.
        apt-get -qq -o Acquire::Check-Valid-Until=false update
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
    fi

    echo "--- installing kestrine from the checkout"
    # Its own build directory, apart from the one the test scripts use.
    quiet_pip "$python" -m pip install -q --force-reinstall --no-deps --no-build-isolation \
        -C "build-dir=build/bench-kestrine/{wheel_tag}" .

    echo "--- building the peers"
    peers="build/bench-peers-$version"
    "$venv/bin/cmake" -S bench -B "$peers" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" -DPython_EXECUTABLE="$python" >/dev/null
    "$venv/bin/cmake" --build "$peers" >/dev/null

    echo "--- reading shapes from another extension (bench/native.py)"
    "$python" bench/native.py --peers "$peers"

    echo "--- running bench/bench.py"
    "$python" bench/bench.py --peers "$peers" "${bench_args[@]}"
done
