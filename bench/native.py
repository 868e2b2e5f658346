"""Instructions to read a shape from another extension, for bench/README.md.

    python bench/native.py --peers build/bench-peers-X.Y   (kestrine importable)

Counts, with callgrind (bench/counts.py), reading a Cylinder's radius and
half length through kestrine's public header against reading the same
fields of the floor's struct (peers/read_shapes.c): once per call from
Python, and per shape in a native loop over a list. Writes
bench/native.json, which bench.py renders into the README.
"""
import argparse
import json
import os
import platform
import sys
from pathlib import Path

import counts

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "native.json"
TARGET = 1.2
LIST = 1000
SETUP = (f"import kestrine, floor_shapes\nc = kestrine.Cylinder(1.0, 2.0)\nf = floor_shapes.Cylinder(1.0, 2.0)\n"
         f"cs = [c] * {LIST}\nfs = [f] * {LIST}")
CASES = [  # (case, header statement, floor statement, divisor)
    ("one read per call from Python", "_ns.H(c)", "_ns.F(f)", 1),
    (f"per shape, native loop over a list of {LIST}", "_ns.HL(cs)", "_ns.FL(fs)", LIST),
]
ROLES = {"H": "one_header", "F": "one_floor", "HL": "all_header", "FL": "all_floor"}


def measure(peers):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(peers), *sys.path[1:]])
    loop = counts.per_run(sys.executable, env, "read_shapes", ROLES, "pass", SETUP)
    rows = []
    for case, header, floor, divisor in CASES:
        h = (counts.per_run(sys.executable, env, "read_shapes", ROLES, header, SETUP) - loop) / divisor
        f = (counts.per_run(sys.executable, env, "read_shapes", ROLES, floor, SETUP) - loop) / divisor
        rows.append({"case": case, "header": h, "floor": f})
        print(f"{case}: header {h:,.1f}, floor {f:,.1f}, ratio {h / f:.2f}", flush=True)
    return {"python": platform.python_version(), "rows": rows}


def render():
    """The README's section, from native.json; empty before a first run."""
    if not RESULTS.exists():
        return []
    res = json.loads(RESULTS.read_text())
    lines = ["## Reading shapes from another extension", "",
             "Instructions (callgrind, as above) to read a Cylinder's radius and half length from "
             "another extension module (`peers/read_shapes.c`): through kestrine's public header "
             "(`include/kestrine/kestrine.h`: class check, borrow flag checked), against "
             "the same two fields read from the floor's struct after the same class check. "
             f"Python {res['python']}; `python bench/native.py --peers build/bench-peers-X.Y` measures "
             f"them. Target: at most {TARGET}x the floor.", "",
             "| case | header | floor | header / floor | target | met |", "|---|---:|---:|---:|---:|:---:|"]
    for row in res["rows"]:
        ratio = row["header"] / row["floor"]
        lines.append(f"| {row['case']} | {row['header']:,.1f} | {row['floor']:,.1f} | {ratio:.2f} | "
                     f"≤ {TARGET} | {'yes' if ratio <= TARGET else 'no'} |")
    lines += ["", "Past the class check, a read only loads the borrow flag, as kestrine's own accessors "
              "do: it runs no Python code, so a shared borrow taken and given back around it would "
              "change nothing.", ""]
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--peers", type=Path, required=True, help="directory holding the built peer modules")
    args = ap.parse_args()
    RESULTS.write_text(json.dumps(measure(args.peers.resolve()), indent=1) + "\n")
    print(f"wrote {RESULTS}")


if __name__ == "__main__":
    main()
