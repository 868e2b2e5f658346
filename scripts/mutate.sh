#!/usr/bin/env bash
# Mutation run: injects each mutant of scripts/mutants.txt (or of the file
# given) into src/, one at a time, rebuilds incrementally and runs the suite
# with -x on Python 3.12 (scripts/mutate.py). Prints each mutant's fate and
# the score; exits 1 if any survived, 2 if a mutant no longer applies. A full
# run takes several minutes per mutant, so CI only checks that every mutant
# applies (python3 scripts/mutate.py --check).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
python="$PWD/$(tool_venv mutate 3.12 'pytest>=8' 'hypothesis>=6')"
"$python" scripts/mutate.py --check "$@" >/dev/null
build=build/mutate
cmake --preset test -B "$build" -G Ninja -DPython_EXECUTABLE="$python" >/dev/null
exec "$python" scripts/mutate.py --python "$python" --build "$build" "$@"
