#!/usr/bin/env bash
# Builds kestrine and its test helper with AddressSanitizer and UBSan (Debug,
# unstripped) and runs the whole suite under them. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
version="${1:-3.12}"
venv=".venv/asan-$version"
tool_venv "asan-$version" "$version" 'pytest>=8' 'hypothesis>=6' >/dev/null
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps \
    -Cbuild-dir="build/asan-{wheel_tag}" -Ccmake.build-type=Debug -Cinstall.strip=false \
    -Ccmake.define.KESTRINE_TESTING=ON -Ccmake.define.KESTRINE_SANITIZE=ON .
log="$(mktemp -d)/sanitizer"
# libstdc++ goes in first as well, or ASan cannot find the real __cxa_throw.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$log"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$log"
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests || status=$?
if ls "$log".* >/dev/null 2>&1; then
    cat "$log".*
    echo "sanitizer reports found" >&2
    exit 1
fi
exit "$status"
