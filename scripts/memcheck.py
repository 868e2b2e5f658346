"""The verdict of scripts/valgrind.sh: python scripts/memcheck.py OUT STATUS ERROR_EXIT

Counts errors (occurrences, as valgrind's ERROR SUMMARY does) and marks those
with a frame in kestrine*.so on any of their stacks: the faulting access,
and the allocation or free of the block it touched. Fails if any has, or if
any definite leak was allocated through kestrine, or if the suite did not
run to the end (OUT/pytest.xml, and valgrind's exit STATUS, ERROR_EXIT
meaning errors were found).
"""
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

total = mine = definite = definite_mine = lost = lost_mine = 0
report = []
for error in root.iterfind("error"):
    kind = error.findtext("kind")
    leak = kind.startswith("Leak_")
    n = 1 if leak else counts.get(error.findtext("unique"), 1)
    involved = any(ours(f) for f in error.iterfind("stack/frame"))
    if leak:
        if kind != "Leak_DefinitelyLost":
            continue
        size = int(error.findtext("xwhat/leakedbytes") or 0)
        definite += 1
        definite_mine += involved
        lost += size
        lost_mine += size if involved else 0
    else:
        total += n
        mine += n if involved else 0
    if involved:
        report.append(describe(error))
with open(os.path.join(out, "kestrine-errors.txt"), "w") as f:
    f.write("\n\n".join(report) + "\n")

try:
    cases = list(ET.parse(os.path.join(out, "pytest.xml")).getroot().iter("testcase"))
except (OSError, ET.ParseError):
    cases = None
print(f"memcheck errors: {total} in total, {mine} with kestrine on the stack")
print(f"definite leaks: {definite} records ({lost} bytes) in total, "
      f"{definite_mine} ({lost_mine} bytes) allocated through kestrine")
if report:
    print(f"first of {len(report)} kestrine reports (all in {out}/kestrine-errors.txt):")
    print(report[0])
if cases is not None:
    bad = [f"{c.get('classname')}::{c.get('name')}" for c in cases
           if c.find("failure") is not None or c.find("error") is not None]
    print(f"pytest under valgrind: {len(cases)} tests, {len(bad)} failed", *bad, sep="\n  ")
if mine or definite_mine:
    sys.exit(1)
if cases is None or status not in (0, 1, error_exit):
    sys.exit(f"the suite did not run to the end under valgrind (exit {status}); see {out}/")
