#!/usr/bin/env bash
# Fuzzes kestrine's constructors, methods and getter (fuzz/fuzz_kestrine.py,
# atheris/libFuzzer) against the AddressSanitizer/UBSan build of
# scripts/sanitize.sh. Any crash, harness assertion or sanitizer report fails
# the run; the last line gives the number of executions.
#
#   bash scripts/fuzz.sh [seconds] [extra libFuzzer args...]    (default 60 s)
#   KESTRINE_FUZZ_PLAIN=1 bash scripts/fuzz.sh ...               plain build, no sanitizers
#
# Corpus: build/fuzz-corpus (kept between runs). Crash inputs:
# build/fuzz-artifacts/. Replay one with its full stderr:
#   KESTRINE_FUZZ_VERBOSE=1 bash scripts/fuzz.sh 0 build/fuzz-artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
seconds="${1:-60}"
[ $# -gt 0 ] && shift
version=3.12
corpus="build/fuzz-corpus"
artifacts="build/fuzz-artifacts"
mkdir -p "$corpus" "$artifacts"

site_packages() { "$1/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'; }

if [ -n "${KESTRINE_FUZZ_PLAIN:-}" ]; then
    venv=".venv/$version"
    if ! ls "$venv"/lib/python*/site-packages/kestrine.*.so >/dev/null 2>&1; then
        kestrine_venv "$version" -Ccmake.args=--preset=test >/dev/null
    fi
else
    venv=".venv/asan-$version"
    if ! ls "$venv"/lib/python*/site-packages/kestrine.*.so >/dev/null 2>&1; then
        asan_venv "$version" >/dev/null
    fi
fi
"$venv/bin/python" -m pip show -q atheris >/dev/null 2>&1 || "$venv/bin/python" -m pip install -q atheris

run_env=()
log=""
if [ -z "${KESTRINE_FUZZ_PLAIN:-}" ]; then
    log="$(mktemp -d)/sanitizer"
    # The sanitizer environment, with atheris's own copy of libFuzzer
    # preloaded first. libasan carries weak no-op definitions of the coverage
    # callbacks (__sanitizer_cov_8bit_counters_init, ...); loaded first, they
    # would win every lookup and leave libFuzzer blind to the harness's
    # coverage. ASan is then no longer first in the library list, so
    # sanitizer_env turns off that check; interception is unchanged
    # (libFuzzer defines no allocator functions).
    core="$(ls "$(site_packages "$venv")"/atheris/core_with_libfuzzer.*.so)"
    mapfile -t run_env < <(sanitizer_env "$log" "$core")
fi

# Input files among the extra arguments are replayed instead of fuzzing.
inputs=("$corpus")
for arg in "$@"; do
    [ -f "$arg" ] && inputs=()
done
# libFuzzer: later flags override earlier ones, so the extra arguments can
# change any of these. Python keeps plenty of caches: no leak detection.
exec "$venv/bin/python" scripts/fuzz_verdict.py "$artifacts" "$log" -- \
    env "${run_env[@]}" "$venv/bin/python" fuzz/fuzz_kestrine.py \
    -max_total_time="$seconds" -timeout=60 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$@" "${inputs[@]}"
