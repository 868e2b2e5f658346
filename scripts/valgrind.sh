#!/usr/bin/env bash
# Runs the pytest suite under valgrind memcheck on the Python 3.12 venv and
# fails if any error, or any definite leak, has kestrine's code on its stack.
#
#   bash scripts/valgrind.sh            # the whole suite (tests/): ~7 min here, ~22x native
#   bash scripts/valgrind.sh tests/test_shapes.py -k Sphere   # extra args replace `tests`
#
# Tests that fail under valgrind are listed but do not fail the run: the
# slowdown breaks tests bounded by wall time (the threads test counts the
# iterations each thread manages in a fixed time).
# Only the interpreter running pytest is checked (--trace-children=no): the
# tests that start `sys.executable -c ...` subprocesses run those natively.
# PYTHONMALLOC=malloc sends every CPython allocation through malloc, so
# memcheck sees the object heap and no pymalloc arena false positives.
# CPython's own exit-time leaks are not ours: only definite leaks whose
# allocation stack passes through kestrine*.so count (leaks reachable at exit,
# or only possibly lost, are CPython's interned and static state), and
# scripts/valgrind-python.supp drops the CPython 3.12 and glibc noise that
# kestrine could otherwise be blamed for (see the file).
# The installed modules are stripped: see below for how stacks get function
# names (no line numbers either way: Release, no -g).
# Output goes to build/valgrind/: memcheck.xml (every error, with stacks),
# memcheck.log (valgrind's own warnings; empty when all is well), pytest.xml,
# kestrine-errors.txt (every error or leak that involves kestrine, in full).
set -euo pipefail
cd "$(dirname "$0")/.."
python=.venv/3.12/bin/python
if [ ! -x "$python" ]; then
    echo "$python is missing: build it with: bash scripts/test.sh 3.12" >&2
    exit 2
fi
command -v valgrind >/dev/null || { echo "valgrind is missing: apt-get install valgrind" >&2; exit 2; }

out=build/valgrind
rm -rf "$out"
mkdir -p "$out/modules"
# valgrind only finds separate symbols under /usr/lib/debug, so when build/
# still holds the unstripped copy of an installed module (same build id: the
# same code, symbol table kept), a snapshot of that copy is imported instead
# (a snapshot, as build/ may be rebuilt while the suite runs).
site="$("$python" -c 'import kestrine, os; print(os.path.dirname(kestrine.__file__))')"
build_id() { readelf -n "$1" 2>/dev/null | sed -n 's/.*Build ID: *//p'; }
for so in "$site"/kestrine*.so; do
    copy="$out/modules/$(basename "$so")"
    cp build/cp312-*/"$(basename "$so")" "$copy" 2>/dev/null || true
    if [ ! -f "$copy" ] || [ -z "$(build_id "$so")" ] || [ "$(build_id "$copy")" != "$(build_id "$so")" ]; then
        rm -f "$copy"
        echo "note: build/ has no unstripped copy of $(basename "$so"): its frames will show as ???" >&2
    fi
done
export PYTHONPATH="$PWD/$out/modules${PYTHONPATH:+:$PYTHONPATH}"

supp=()
[ -f scripts/valgrind-python.supp ] && supp=(--suppressions=scripts/valgrind-python.supp)
pytest_args=("$@")
[ ${#pytest_args[@]} -gt 0 ] || pytest_args=(tests)

error_exit=97
status=0
start=$SECONDS
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=$error_exit \
    --num-callers=30 --trace-children=no --fair-sched=yes \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    "${supp[@]}" \
    --log-file="$out/memcheck.log" --xml=yes --xml-file="$out/memcheck.xml" \
    "$python" -m pytest -q -p no:cacheprovider --junitxml="$out/pytest.xml" "${pytest_args[@]}" \
    || status=$?
echo "valgrind: exit $status after $((SECONDS - start)) s; log in $out/"

python3 scripts/memcheck.py "$out" "$status" "$error_exit"
