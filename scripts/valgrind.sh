#!/usr/bin/env bash
# Runs the pytest suite under valgrind memcheck on the Python 3.12 venv and
# fails if any error, or any definite leak, has kestrine's code on its stack.
#
#   bash scripts/valgrind.sh            # the whole suite (tests/); ~20-40x slower than native
#   bash scripts/valgrind.sh tests/test_shapes.py -k Sphere   # extra args go to pytest
#
# Only the interpreter running pytest is checked (--trace-children=no): the
# tests that start `sys.executable -c ...` subprocesses run those natively.
# PYTHONMALLOC=malloc sends every CPython allocation through malloc, so
# memcheck sees the object heap and no pymalloc arena false positives.
# CPython's own exit-time leaks are not ours: only definite leaks whose
# allocation stack passes through kestrine*.so count (leaks reachable at exit,
# or only possibly lost, are CPython's interned and static state).
# The installed modules are stripped: see below for how stacks get function
# names (no line numbers either way: Release, no -g).
# Output goes to build/valgrind/: memcheck.xml (every error, with stacks),
# memcheck.log (valgrind's own text log), pytest.xml, kestrine-errors.txt.
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
# still holds the unstripped copies of both installed modules (same build id:
# the same code, symbol tables kept), a snapshot of those copies is imported
# instead (a snapshot, as build/ may be rebuilt while the suite runs).
site="$("$python" -c 'import kestrine, os; print(os.path.dirname(kestrine.__file__))')"
build_id() { readelf -n "$1" 2>/dev/null | sed -n 's/.*Build ID: *//p'; }
unstripped=yes
for so in "$site"/kestrine*.so; do
    copy="$out/modules/$(basename "$so")"
    cp build/cp312-*/"$(basename "$so")" "$copy" 2>/dev/null || true
    if [ ! -f "$copy" ] || [ -z "$(build_id "$so")" ] || [ "$(build_id "$copy")" != "$(build_id "$so")" ]; then
        unstripped=no
    fi
done
if [ $unstripped = yes ]; then
    export PYTHONPATH="$PWD/$out/modules${PYTHONPATH:+:$PYTHONPATH}"
else
    echo "note: no unstripped copies of the installed modules in build/: kestrine frames will show as ???" >&2
fi

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

# Counts errors (occurrences, as valgrind's ERROR SUMMARY does) and marks those
# with a frame in kestrine*.so on any of their stacks: the faulting access,
# and the allocation or free of the block it touched.
python3 - "$out" "$status" "$error_exit" <<'EOF'
import os, sys, xml.etree.ElementTree as ET
out, status, error_exit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
try:
    root = ET.parse(os.path.join(out, "memcheck.xml")).getroot()
except (OSError, ET.ParseError) as e:
    sys.exit(f"no usable valgrind output ({e}); see {out}/memcheck.log")
counts = {p.findtext("unique"): int(p.findtext("count"))
          for p in root.iterfind("errorcounts/pair")}

def ours(frame):
    return os.path.basename(frame.findtext("obj") or "").startswith("kestrine")

def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for node in error:
        if node.tag == "auxwhat":
            lines.append(f"  {node.text}")
        if node.tag == "stack":
            for f in node.iterfind("frame"):
                where = f.findtext("fn") or "???"
                loc = f.findtext("file")
                loc = f"{loc}:{f.findtext('line')}" if loc else os.path.basename(f.findtext("obj") or "?")
                lines.append(f"    {'>' if ours(f) else ' '} {f.findtext('ip')} {where} ({loc})")
    return "\n".join(lines)

total = mine = definite = definite_mine = 0
report = []
for error in root.iterfind("error"):
    kind = error.findtext("kind")
    leak = kind.startswith("Leak_")
    n = 1 if leak else counts.get(error.findtext("unique"), 1)
    involved = any(ours(f) for f in error.iterfind("stack/frame"))
    if leak:
        if kind != "Leak_DefinitelyLost":
            continue
        definite += 1
        definite_mine += involved
    else:
        total += n
        mine += n if involved else 0
    if involved:
        report.append(describe(error))
with open(os.path.join(out, "kestrine-errors.txt"), "w") as f:
    f.write("\n\n".join(report) + "\n")

failed = None
try:
    suite = ET.parse(os.path.join(out, "pytest.xml")).getroot()
    failed = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suite.iter("testsuite"))
except (OSError, ET.ParseError):
    pass
print(f"memcheck errors: {total} in total, {mine} with kestrine on the stack")
print(f"definite leaks: {definite} in total, {definite_mine} allocated through kestrine")
if report:
    print(f"first of {len(report)} kestrine reports (all in {out}/kestrine-errors.txt):")
    print(report[0])
if mine or definite_mine:
    sys.exit(1)
if failed is None or failed or status not in (0, error_exit):
    print(f"the suite itself did not pass under valgrind (exit {status}, "
          f"{'no junit report' if failed is None else f'{failed} failed'})", file=sys.stderr)
    sys.exit(status or 1)
EOF
