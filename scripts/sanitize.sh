#!/usr/bin/env bash
# Builds kestrine and its test helper with AddressSanitizer and UBSan (Debug,
# unstripped) and runs the whole suite under them. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
version="${1:-3.12}"
python="$(asan_venv "$version")"
log="$(mktemp -d)/sanitizer"
mapfile -t environment < <(sanitizer_env "$log")
status=0
# No fd capture: reports written to the terminal must not be swallowed.
env "${environment[@]}" "$python" -m pytest -q -p no:cacheprovider --capture=sys tests || status=$?
if ls "$log".* >/dev/null 2>&1; then
    cat "$log".*
    echo "sanitizer reports found" >&2
    exit 1
fi
exit "$status"
