#!/usr/bin/env bash
# Benchmarks kestrine against its peers: bash bench/run.sh [VERSION...]
# (default: 3.12 3.13). For each version: creates or updates .venv/bench-X.Y,
# installs kestrine from this checkout and the tools of bench/requirements.txt,
# builds the peers with bench/CMakeLists.txt into build/bench-peers-X.Y, and
# runs bench/bench.py, which writes bench/README.md and bench/results.png.
# BENCH_ARGS is passed on to bench.py (e.g. BENCH_ARGS='--repeats 5').
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
    quiet_pip "$python" -m pip install -q -r bench/requirements.txt

    echo "--- installing kestrine from the checkout"
    # Its own build directory, apart from the one the test scripts use.
    quiet_pip "$python" -m pip install -q --force-reinstall --no-deps --no-build-isolation \
        -C "build-dir=build/bench-kestrine/{wheel_tag}" .

    echo "--- building the peers"
    peers="build/bench-peers-$version"
    "$venv/bin/cmake" -S bench -B "$peers" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" -DPython_EXECUTABLE="$python" >/dev/null
    "$venv/bin/cmake" --build "$peers" >/dev/null

    echo "--- running bench/bench.py"
    "$python" bench/bench.py --peers "$peers" "${bench_args[@]}"
done
