#!/usr/bin/env python3
"""Times kestrine against its peers and writes a report: README.md and results.png.

Run through bench/run.sh, which builds everything first. By hand:

    .venv/bench-3.12/bin/python bench/bench.py --peers build/bench-peers-3.12

Every run merges its numbers for the running Python into build/bench/results.json
(started from the published bench/results.json), then renders the report there
from all the versions recorded. --publish merges the versions recorded in
build/bench/ into bench/results.json and renders bench/README.md and
bench/results.png, the published figures, which are committed only when
they change.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit
from pathlib import Path

import counts
import native

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
PUBLISHED = HERE
DRAFT = REPO / "build" / "bench"

# Classes by role: C Cylinder, O Cone, K Capsule, S Sphere, M PyMesh, B Cuboid.
ALL_SIX = {"C": "Cylinder", "O": "Cone", "K": "Capsule", "S": "Sphere", "M": "PyMesh", "B": "Cuboid"}
# key, label, module, {role: class name} (a peer lacking a role has no cell)
IMPLS = [
    ("kestrine", "kestrine", "kestrine", ALL_SIX),
    ("floor", "floor (C)", "floor_shapes", ALL_SIX),
    ("nanobind", "nanobind", "nb_shapes", {"C": "Cylinder", "M": "PyMesh"}),
    ("pybind11", "pybind11", "pb_shapes", {"C": "Cylinder", "M": "PyMesh"}),
    ("cython", "Cython", "cy_shapes", {"C": "Cylinder", "M": "PyMesh"}),
    ("slots", "Python __slots__", "py_shapes", {"C": "SlotsCylinder", "M": "SlotsPyMesh", "B": "SlotsCuboid"}),
    ("dataclass", "frozen dataclass", "py_shapes",
     {"C": "FrozenCylinder", "M": "FrozenPyMesh", "B": "FrozenCuboid"}),
]
LABEL = {key: label for key, label, *_ in IMPLS}
IMPLS_ROLES = {key: roles for key, _, _, roles in IMPLS}
PEERS = [key for key, *_ in IMPLS if key not in ("kestrine", "floor")]
# Only these two are counted under callgrind: the ratio that matters is
# kestrine against the floor.
COUNTED = ("kestrine", "floor")


def caught(stmt):
    return f"try:\n    {stmt}\nexcept BaseException:\n    pass"


# key, label, statement, the names it needs (the class roles above, plus
# c: a Cylinder, m: a PyMesh, a: an array of three doubles), kind. Setup
# binds the names as locals of the timing loop. The kind sets the target:
# "new" a construction, "get" an accessor, "refused" a refused call, "fault"
# a call refused by an internal fault (which unwinds as a C++ exception, a
# fixed cost of libgcc's); "other" has none.
CASES = [
    ("pos", "Cylinder(1.0, 2.0)", "C(1.0, 2.0)", "C", "new"),
    ("kw", "Cylinder(1.0, length=2.0)", "C(1.0, length=2.0)", "C", "new"),
    ("cone_pos", "Cone(1.0, 2.0)", "O(1.0, 2.0)", "O", "new"),
    ("cone_kw", "Cone(1.0, length=2.0)", "O(1.0, length=2.0)", "O", "new"),
    ("capsule_pos", "Capsule(1.0, 2.0)", "K(1.0, 2.0)", "K", "new"),
    ("capsule_kw", "Capsule(1.0, length=2.0)", "K(1.0, length=2.0)", "K", "new"),
    ("sphere_pos", "Sphere(1.0)", "S(1.0)", "S", "new"),
    ("sphere_kw", "Sphere(radius=1.0)", "S(radius=1.0)", "S", "new"),
    ("cuboid", "Cuboid([1.0, 2.0, 3.0])", "B([1.0, 2.0, 3.0])", "B", "new"),
    ("cuboid_kw", "Cuboid(sides=[1.0, 2.0, 3.0])", "B(sides=[1.0, 2.0, 3.0])", "B", "new"),
    ("cuboid_tuple", "Cuboid((1.0, 2.0, 3.0))", "B((1.0, 2.0, 3.0))", "B", "new"),
    ("cuboid_array", "Cuboid(array('d', [1.0, 2.0, 3.0]))", "B(a)", "Ba", "new"),
    ("mesh", 'PyMesh("meshes/a.obj")', 'M("meshes/a.obj")', "M", "new"),
    ("mesh_kw", 'PyMesh(path="meshes/a.obj")', 'M(path="meshes/a.obj")', "M", "new"),
    ("new_radius", "Cylinder(1.0, 2.0).radius()", "C(1.0, 2.0).radius()", "C", "other"),
    ("radius", "c.radius()", "c.radius()", "Cc", "get"),
    ("half_length", "c.half_length()", "c.half_length()", "Cc", "get"),
    ("mesh_path", "m.mesh_path", "m.mesh_path", "Mm", "get"),
    ("refused", 'Cylinder("a", 2.0), caught', caught('C("a", 2.0)'), "C", "refused"),
    ("refused_missing", "Cylinder(1.0), caught", caught("C(1.0)"), "C", "refused"),
    ("refused_short", "Cuboid([1.0, 2.0]), caught", caught("B([1.0, 2.0])"), "B", "fault"),
]
CASE_LABEL = {key: label for key, label, *_ in CASES}
SETUP = {role: f"{role} = _ns.{role}" for role in ALL_SIX}
SETUP.update({
    "c": "c = C(1.0, 2.0)",
    "m": 'm = M("meshes/a.obj")',
    "a": "from array import array\na = array('d', [1.0, 2.0, 3.0])",
})
# Instruction-count bound of kestrine / floor per kind of case.
COUNT_BOUND = {"new": 1.15, "get": 1.10, "refused": 1.5, "fault": 2.5}
IMPORT_BOUND = 2.0        # kestrine's import / the floor's, in instructions
IMPORT_WALL_US = 1000.0   # kestrine's import, wall time

# (label, case, which ratio, bound): a ratio of medians is met when it is
# <= bound ("max") or >= bound ("min").
TARGETS = [
    ("Cylinder(1.0, 2.0) >= 1.5x faster than nanobind", "pos", "nanobind/kestrine", "min", 1.5),
    ("Cylinder(1.0, length=2.0) >= 1.5x faster than nanobind", "kw", "nanobind/kestrine", "min", 1.5),
    ("Cylinder(1.0, 2.0) >= 5x faster than pybind11", "pos", "pybind11/kestrine", "min", 5.0),
    ("Cylinder(1.0, length=2.0) >= 5x faster than pybind11", "kw", "pybind11/kestrine", "min", 5.0),
    ("Cylinder(1.0, 2.0) >= 3x faster than the __slots__ class", "pos", "slots/kestrine", "min", 3.0),
    ("Cylinder(1.0, length=2.0) >= 3x faster than the __slots__ class", "kw", "slots/kestrine", "min", 3.0),
]


class Impl:
    """An implementation's classes by role, as attributes named by role."""

    def __init__(self, key, module, roles):
        self.key = key
        self.module = module
        mod = importlib.import_module(module)
        self.file = getattr(mod, "__file__", None)
        for role, name in roles.items():
            setattr(self, role, getattr(mod, name))
        self.roles = set(roles)

    def has(self, needs):
        return all(n in self.roles for n in needs if n.isupper())


def timer_for(impl, stmt, needs):
    setup = "\n".join(SETUP[n] for n in needs)
    return timeit.Timer(stmt, setup, timer=time.process_time, globals={"_ns": impl})


class quiet_stderr:
    """Sends file descriptor 2 to /dev/null: a refused Cuboid reports its fault there."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def run_timings(impls, repeats, target, log):
    """Median ns per op for every (case, impl), with repeats interleaved."""
    with quiet_stderr():
        return timings_of(impls, repeats, target, log)


def timings_of(impls, repeats, target, log):
    cells = []  # (case, impl key, timer, number)
    null = timeit.Timer("pass", timer=time.process_time)
    n, t = null.autorange()
    cells.append(("null", None, null, max(1, int(n * target / t))))
    for case, _, stmt, needs, _ in CASES:
        for impl in impls:
            if not impl.has(needs):
                continue
            timer = timer_for(impl, stmt, needs)
            try:
                n, t = timer.autorange()
            except Exception as exc:  # e.g. a dataclass peer's parameter has another name
                log(f"  {case}: {LABEL[impl.key]} cannot run it ({type(exc).__name__}: {exc}); left out")
                continue
            cells.append((case, impl.key, timer, max(1, int(n * target / t))))
    log(f"  {len(cells)} cells calibrated; {repeats} interleaved repeats")
    samples = {(case, key): [] for case, key, _, _ in cells}
    for rep in range(repeats):
        # Rotate the order so that no implementation always runs first.
        order = cells[rep % len(cells):] + cells[: rep % len(cells)]
        for case, key, timer, number in order:
            samples[(case, key)].append(timer.timeit(number) / number * 1e9)
        log(f"  repeat {rep + 1}/{repeats} done")
    out = {}
    for (case, key), values in samples.items():
        med = statistics.median(values)
        mad = statistics.median(abs(v - med) for v in values)
        out.setdefault(case, {})[key or "loop"] = {"median_ns": med, "mad_ns": mad, "min_ns": min(values),
                                                    "samples_ns": values}
    return out


def run_counts(impls, peers_dir, log):
    """Instructions per call for the COUNTED implementations, loop cost taken off, and per import."""
    env = child_env(peers_dir)
    # The counted interpreters start without site (-S), so without
    # site-packages: name the directories the counted modules were found in.
    dirs = [os.path.dirname(impl.file) for impl in impls if impl.key in COUNTED and impl.file]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys([*dirs, env["PYTHONPATH"]]))
    loop = counts.per_run(sys.executable, env, "kestrine", {}, "pass", "")
    out = {"loop": loop, "cases": {}, "import": {}, "seeds": list(counts.SEEDS)}
    for case, _, stmt, needs, _ in CASES:
        for impl in impls:
            if impl.key not in COUNTED or not impl.has(needs):
                continue
            roles = {n: IMPLS_ROLES[impl.key][n] for n in needs if n.isupper()}
            setup = "\n".join(SETUP[n] for n in needs)
            value = counts.per_run(sys.executable, env, impl.module, roles, stmt, setup) - loop
            out["cases"].setdefault(case, {})[impl.key] = value
            log(f"  {case} {impl.key}: {value:,.0f}")
    for impl in impls:
        if impl.key in COUNTED:
            out["import"][impl.module] = counts.import_cost(sys.executable, env, impl.module)
            log(f"  import {impl.module}: {out['import'][impl.module]:,.0f}")
    return out


def child_env(peers_dir):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(peers_dir), str(HERE / "peers")])
    return env


def import_times(modules, peers_dir, runs):
    """Median cumulative -X importtime (us) of each module, each import in a fresh process."""
    env = child_env(peers_dir)
    found = {m: [] for m in modules}
    for _ in range(runs):
        for module in modules:
            proc = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                                  env=env, capture_output=True, text=True, check=True)
            for line in proc.stderr.splitlines():
                parts = line.split("|")
                if len(parts) == 3 and parts[2].strip() == module:
                    found[module].append(int(parts[1]))
    return {m: statistics.median(v) for m, v in found.items()}


MEMORY_CHILD = r"""
import gc, importlib, json, os, sys
module, attr, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
cls = getattr(importlib.import_module(module), attr)
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
keep = [None] * count
warm = [cls(1.0, 2.0) for _ in range(1000)]
del warm
gc.collect()
before = rss()
for i in range(count):
    keep[i] = cls(1.0, 2.0)
after = rss()
print(json.dumps({"rss_per_instance": (after - before) / count,
                  "getsizeof": sys.getsizeof(keep[0]),
                  "basicsize": type(keep[0]).__basicsize__}))
"""


def memory(impl_rows, peers_dir, count, runs):
    """Bytes per live Cylinder: RSS growth over `count` instances, median of `runs`."""
    env = child_env(peers_dir)
    out = {}
    for key, module, attr in impl_rows:
        results = []
        for _ in range(runs):
            proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, module, attr, str(count)],
                                  env=env, capture_output=True, text=True, check=True)
            results.append(json.loads(proc.stdout))
        out[key] = {
            "rss_per_instance": statistics.median(r["rss_per_instance"] for r in results),
            "getsizeof": results[0]["getsizeof"],
            "basicsize": results[0]["basicsize"],
        }
    return out


def so_sizes(impls):
    strip = shutil.which("strip")
    out = {}
    for impl in impls:
        if not impl.file or not impl.file.endswith(".so") or impl.key in out:
            continue
        entry = {"file": os.path.getsize(impl.file)}
        if strip:
            with tempfile.TemporaryDirectory() as tmp:
                target = os.path.join(tmp, "m.so")
                subprocess.run([strip, "--strip-unneeded", "-o", target, impl.file], check=True)
                entry["stripped"] = os.path.getsize(target)
        out[impl.key] = entry
    return out


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "system": f"{platform.system()} {platform.release()}"}


def versions():
    out = {}
    for dist in ("nanobind", "pybind11", "Cython"):
        try:
            out[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            out[dist] = None
    # Published figures do not make the checkout dirty: they are the
    # outputs of runs like this one.
    outputs = [f":!bench/{name}" for name in ("README.md", "results.json", "results.png")]
    try:
        rev = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--untracked-files=no",
                                "--", ".", *outputs], capture_output=True, text=True, check=True).stdout.strip()
        out["kestrine"] = rev + ("+local changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        # In the sid chroot the repository itself is out of reach; the
        # caller names the commit (see bench/run.sh).
        out["kestrine"] = os.environ.get("KESTRINE_BENCH_COMMIT")
    return out


# ---------------------------------------------------------------- report


def ratio_table(res):
    """{case: {"kestrine/floor": r, "<peer>/kestrine": r}} from medians."""
    out = {}
    for case, *_ in CASES:
        cell = res["timings"].get(case, {})
        if "kestrine" not in cell:
            continue
        k = cell["kestrine"]["median_ns"]
        row = {}
        if "floor" in cell:
            row["kestrine/floor"] = k / cell["floor"]["median_ns"]
        for peer in PEERS:
            if peer in cell:
                row[f"{peer}/kestrine"] = cell[peer]["median_ns"] / k
        out[case] = row
    return out


def net_ratio(res, case, num, den, stat="median_ns"):
    """A ratio with the empty loop's cost taken off both sides."""
    loop = res["timings"]["null"]["loop"][stat]
    cell = res["timings"][case]
    return (cell[num][stat] - loop) / (cell[den][stat] - loop)


def min_ratio(res, case, num, den):
    cell = res["timings"][case]
    return cell[num]["min_ns"] / cell[den]["min_ns"]


def fmt_ns(v):
    return f"{v:.1f}" if v < 1000 else f"{v:,.0f}"


def count_verdict(ratio, bound):
    return "yes" if ratio <= bound else "**missed**"


def render_counts(res):
    """The instruction-count table: kestrine against the floor, with each target."""
    counted = res.get("instructions")
    if not counted:
        return ["### Instructions per call", "", "Not measured: valgrind was not available.", ""]
    lines = ["### Instructions per call (callgrind)", ""]
    lines.append(f"Instructions executed per call, the timing loop's own {counted['loop']:.0f} taken off, mean "
                 f"over hash seeds {', '.join(map(str, counted['seeds']))}; each figure is the difference "
                 f"between a run of {counts.HIGH:,} and one of {counts.LOW:,} calls, divided by "
                 f"{counts.HIGH - counts.LOW:,}, so start-up and setup cancel. Targets: a construction within "
                 f"{COUNT_BOUND['new']}x the floor, an accessor within {COUNT_BOUND['get']}x, a refused call "
                 f"within {COUNT_BOUND['refused']}x, a fault within {COUNT_BOUND['fault']}x; the import within {IMPORT_BOUND:g}x the floor's and "
                 f"{IMPORT_WALL_US:g} µs.")
    lines.append("")
    lines.append("| case | kestrine | floor (C) | kestrine / floor | target | met |")
    lines.append("|---|---:|---:|---:|---:|:---:|")
    kinds = {key: kind for key, _, _, _, kind in CASES}
    for case, cell in counted["cases"].items():
        if "kestrine" not in cell or "floor" not in cell:
            continue
        ratio = cell["kestrine"] / cell["floor"]
        bound = COUNT_BOUND.get(kinds.get(case))
        target = f"≤ {bound:.2f}" if bound else "—"
        met = count_verdict(ratio, bound) if bound else "—"
        lines.append(f"| `{CASE_LABEL[case]}` | {cell['kestrine']:,.0f} | {cell['floor']:,.0f} | {ratio:.2f} | "
                     f"{target} | {met} |")
    imp = counted["import"]
    if "kestrine" in imp and "floor_shapes" in imp:
        ratio = imp["kestrine"] / imp["floor_shapes"]
        lines.append(f"| `import kestrine` | {imp['kestrine']:,.0f} | {imp['floor_shapes']:,.0f} | {ratio:.2f} | "
                     f"≤ {IMPORT_BOUND:.2f} | {count_verdict(ratio, IMPORT_BOUND)} |")
    wall = res["import_us"].get("kestrine")
    if wall is not None:
        lines.append(f"| `import kestrine`, wall time | {wall:,.0f} µs | {res['import_us'].get('floor_shapes', 0):,.0f} µs "
                     f"| {wall / res['import_us']['floor_shapes']:.2f} | ≤ {IMPORT_WALL_US:g} µs | "
                     f"{'yes' if wall <= IMPORT_WALL_US else '**missed**'} |")
    lines.append("")
    return lines


def render_version(version, res):
    lines = []
    py = res["python"]
    lines.append(f"## Python {py}")
    lines.append("")
    v = res["versions"]
    lines.append(f"kestrine {v.get('kestrine')}, nanobind {v.get('nanobind')}, pybind11 {v.get('pybind11')}, "
                 f"Cython {v.get('Cython')}; {res['repeats']} interleaved repeats of ~{res['target_s']:.2f} s "
                 f"each per cell; run took {res['elapsed_s']:.0f} s; load average "
                 f"{res['load'][0]:.1f} at the start, {res['load'][1]:.1f} at the end "
                 f"({res['machine']['cores']} cores).")
    lines.append("")
    keys = [key for key, *_ in IMPLS]
    lines.append("### Median time per operation (ns, lower is better)")
    lines.append("")
    lines.append("| case | " + " | ".join(LABEL[k] for k in keys) + " |")
    lines.append("|---|" + "---:|" * len(keys))
    spread = 0.0
    for case, *_ in CASES:
        cell = res["timings"].get(case, {})
        row = []
        for k in keys:
            if k in cell:
                row.append(fmt_ns(cell[k]["median_ns"]))
                spread = max(spread, cell[k]["mad_ns"] / cell[k]["median_ns"])
            else:
                row.append("—")
        lines.append(f"| `{CASE_LABEL[case]}` | " + " | ".join(row) + " |")
    loop = res["timings"]["null"]["loop"]["median_ns"]
    lines.append("")
    lines.append(f"Every figure includes the timing loop itself, {loop:.1f} ns per iteration (an empty "
                 f"statement). The largest spread of any cell (median absolute deviation over its "
                 f"repeats, relative to its median) is {spread * 100:.1f}%. The pure-Python classes "
                 f"convert with `float()`, so their refused call raises ValueError, not TypeError.")
    lines.append("")

    ratios = ratio_table(res)
    cols = ["kestrine/floor"] + [f"{p}/kestrine" for p in PEERS]
    heads = ["kestrine / floor"] + [f"{LABEL[p]} / kestrine" for p in PEERS]
    lines.append("### Ratios of medians")
    lines.append("")
    lines.append("kestrine / floor: how far kestrine is above the hand-written C floor (1.00 = as fast). "
                 "peer / kestrine: how many times slower the peer is than kestrine (> 1: kestrine is faster).")
    lines.append("")
    lines.append("| case | " + " | ".join(heads) + " |")
    lines.append("|---|" + "---:|" * len(cols))
    for case, row in ratios.items():
        lines.append(f"| `{CASE_LABEL[case]}` | " + " | ".join(
            f"{row[c]:.2f}" if c in row else "—" for c in cols) + " |")
    lines.append("")

    lines.extend(render_counts(res))

    lines.append("### Targets against the peers (wall time)")
    lines.append("")
    lines.append("Judged on the ratio of medians; \"without loop\" takes the empty loop's cost off both "
                 "sides, and \"of minima\" uses each cell's fastest repeat instead of its median.")
    lines.append("")
    lines.append("| target | ratio | without loop | of minima | met |")
    lines.append("|---|---:|---:|---:|:---:|")
    for label, case, which, kind, bound in TARGETS:
        num, den = which.split("/")
        if which not in ratios.get(case, {}):
            lines.append(f"| {label} | — | — | — | not measured |")
            continue
        r = ratios[case][which]
        net = net_ratio(res, case, num, den)
        ok = r <= bound if kind == "max" else r >= bound
        low = min_ratio(res, case, num, den)
        lines.append(f"| {label} | {r:.2f} | {net:.2f} | {low:.2f} | {'yes' if ok else '**no**'} |")
    lines.append("")

    lines.append("### Import, memory and size")
    lines.append("")
    lines.append("Import: median cumulative `-X importtime` of `import MODULE` in a fresh interpreter "
                 f"({res['import_runs']} runs; py_shapes holds both pure-Python peers and imports dataclasses). "
                 f"Memory: growth of resident memory per live `Cylinder(1.0, 2.0)` over "
                 f"{res['memory_count']:,} instances kept in a preallocated list (includes separately "
                 f"allocated payloads and Python float objects). Size: the extension's shared object as "
                 f"built, and after `strip --strip-unneeded`.")
    lines.append("")
    lines.append("| implementation | module | import (µs) | bytes / instance (RSS) | `sys.getsizeof` | "
                 "`__basicsize__` | .so bytes | .so stripped |")
    lines.append("|---|---|---:|---:|---:|---:|---:|---:|")
    def num(value, fmt):
        return format(value, fmt) if isinstance(value, (int, float)) else "—"

    for key, label, module, *_ in IMPLS:
        mem = res["memory"].get(key, {})
        size = res["so_size"].get(key, {})
        cells = [label, f"`{module}`", num(res["import_us"].get(module), ",.0f"),
                 num(mem.get("rss_per_instance"), ".1f"), num(mem.get("getsizeof"), "d"),
                 num(mem.get("basicsize"), "d"), num(size.get("file"), ","), num(size.get("stripped"), ",")]
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def commit_line(all_results):
    commits = {res["versions"].get("kestrine") for res in all_results.values()}
    if len(commits) == 1:
        return f"Every figure on this page is from kestrine at commit {commits.pop()}."
    listed = ", ".join(f"Python {v}: {res['versions'].get('kestrine')}" for v, res in all_results.items())
    return f"**The versions were measured at different commits** ({listed}); rerun them all to compare."


def render_readme(all_results):
    first = next(iter(all_results.values()))
    m = first["machine"]
    lines = [
        "# kestrine benchmarks",
        "",
        "<!-- Generated by bench/bench.py; edits are overwritten. -->",
        "",
        "## How to run",
        "",
        "From the repository root:",
        "",
        "    bash bench/run.sh            # Python 3.12 and 3.13",
        "    bash bench/run.sh 3.13       # just one version",
        "    bash scripts/sid.sh bash bench/run.sh 3.14 3.15   # the newer ones, in the sid chroot",
        "",
        "For each version it creates or updates `.venv/bench-X.Y`, installs kestrine from the checkout "
        "(`pip install --force-reinstall --no-deps .`, built in `build/bench-kestrine/`) and the pinned "
        "tools of `bench/requirements.txt`, builds the peers with `bench/CMakeLists.txt` into "
        "`build/bench-peers-X.Y` (never linked into kestrine), then runs `bench/bench.py`, which merges "
        "that version's numbers into `build/bench/results.json` and renders a page like this one and "
        "its plot there. `BENCH_ARGS=--publish` records them here instead (`bench/results.json`, this "
        "file and `bench/results.png`), which is for a commit that changes the published numbers; "
        "`bench/bench.py --report-only --publish` publishes what earlier runs recorded in `build/bench/`. "
        "A run takes about fifteen minutes per version, most of it under callgrind. `BENCH_ARGS` passes "
        "options to bench.py (e.g. `BENCH_ARGS='--repeats 5' bash bench/run.sh`, or `--counts-only` to "
        "print the instruction counts alone; see `bench.py --help`). In the sid chroot, valgrind is "
        "installed on first use, peers whose packages do not install on that Python are left out, and "
        "the plot is redrawn by the next run on the host.",
        "",
        "## What is compared",
        "",
        "- **kestrine**: the module built from this checkout.",
        "- **floor (C)**: `peers/floor.c`, a minimal hand-written C type for each of the six classes "
        "(PyType_FromSpec, vectorcall constructor binding its floats by position or keyword by hand, "
        "METH_NOARGS accessors, PyMesh holding a `char*` copy with a getter, Cuboid from any sequence "
        "through `PySequence_Fast`). A refused call raises what kestrine raises, with the same message "
        "and cause: the binding's wording, a conversion TypeError relabelled with the parameter's "
        "name, and for a short Cuboid the fault report written and flushed through sys.stderr, then "
        "a PanicException. It shows what the calls cost with nothing but the necessary work.",
        "- **nanobind** (`peers/nb_shapes.cpp`) and **pybind11** (`peers/pb_shapes.cpp`): the same two "
        "classes written the usual way with each library from PyPI, Release, -O2 (kestrine's own "
        "Release build uses CMake's default -O3).",
        "- **Cython** (`peers/cy_shapes.pyx`): cdef classes with C float fields.",
        "- **Python __slots__** and **frozen dataclass** (`peers/py_shapes.py`): plain Python.",
        "",
        "kestrine, the floor, nanobind and pybind11 keep a UTF-8 copy of the mesh path and build a new "
        "`str` on each `mesh_path` read; Cython and the Python classes keep the `str` object itself, "
        "which is why they read it faster.",
        "",
        "The instruction counts come from callgrind (`bench/counts.py`): each statement runs in a fresh "
        "interpreter under valgrind, once 200 and once 2,200 times, and the difference divided by 2,000 "
        "is its cost, the same figure for an empty statement is taken off, and the mean over three "
        "fixed hash seeds is reported. Unlike the wall times, these do not drift with the machine's "
        "load, so the targets against the floor are judged on them.",
        "",
        "Each timing is `timeit` of one statement with the names bound as locals, repeated so that "
        "one measurement lasts about 0.1 s of CPU time (`time.process_time`, so that time the process "
        "spends descheduled on a busy machine is not counted); every repeat loops over all the implementations and cases "
        "(interleaved, with a rotating order), so that drift in the machine hits all alike, and each "
        "cell reports the median over its repeats. All implementations run in one process.",
        "",
        "## Machine",
        "",
        f"{m['cpu']}, {m['cores']} cores, {m['system']}.",
        "",
        commit_line(all_results),
        "",
        "![Time per case relative to kestrine](results.png)",
        "",
    ]
    for version, res in all_results.items():
        lines.extend(render_version(version, res))
    lines.extend(native.render())
    return "\n".join(lines).rstrip() + "\n"


def render_plot(all_results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    versions_ = list(all_results)
    keys = [key for key, *_ in IMPLS]
    colors = {"kestrine": "#1f77b4", "floor": "#7f7f7f", "nanobind": "#2ca02c", "pybind11": "#d62728",
              "cython": "#ff7f0e", "slots": "#9467bd", "dataclass": "#8c564b"}
    fig, axes = plt.subplots(len(versions_), 1, figsize=(1.0 * len(CASES) + 4, 6.0 * len(versions_)),
                             squeeze=False)
    width = 0.8 / len(keys)
    for ax, version in zip(axes[:, 0], versions_):
        res = all_results[version]
        cases = [c for c, *_ in CASES if "kestrine" in res["timings"].get(c, {})]
        lowest, highest = 1.0, 1.0
        for i, key in enumerate(keys):
            xs, ys, ns = [], [], []
            for j, case in enumerate(cases):
                cell = res["timings"][case]
                if key in cell:
                    xs.append(j + (i - (len(keys) - 1) / 2) * width)
                    ys.append(cell[key]["median_ns"] / cell["kestrine"]["median_ns"])
                    ns.append(cell[key]["median_ns"])
            bars = ax.bar(xs, ys, width, label=LABEL[key], color=colors[key])
            lowest, highest = min([lowest, *ys]), max([highest, *ys])
            for bar, y, n in zip(bars, ys, ns):
                ax.text(bar.get_x() + bar.get_width() / 2, y * 1.04, f"{n:.0f}", ha="center",
                        va="bottom", fontsize=6.5, rotation=90)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        lo, hi = min(0.2, lowest * 0.6), max(40.0, highest * 3.0)
        ax.set_ylim(lo, hi)
        ax.set_xticks(range(len(cases)))
        ax.set_xticklabels([textwrap.fill(CASE_LABEL[c], 24, break_long_words=False) for c in cases],
                           fontsize=8, rotation=30, ha="right")
        ticks = [t for t in (0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100) if lo <= t <= hi]
        ax.set_yticks(ticks)
        ax.set_yticklabels([f"{t:g}x" for t in ticks])
        ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_ylabel("time / kestrine time (log)")
        ax.set_title(f"Python {res['python']}: time per operation relative to kestrine "
                     f"(lower is faster; labels: median ns)", fontsize=11)
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(ncol=len(keys), fontsize=8.5, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--peers", type=Path, help="directory holding the built peer modules")
    ap.add_argument("--repeats", type=int, default=11, help="interleaved repeats per cell (default 11)")
    ap.add_argument("--target", type=float, default=0.12, help="seconds per measurement (default 0.12)")
    ap.add_argument("--import-runs", type=int, default=15, help="fresh processes per module for import time")
    ap.add_argument("--memory-count", type=int, default=10**6, help="live instances for the memory figure")
    ap.add_argument("--report-only", action="store_true", help="only re-render from results.json")
    ap.add_argument("--publish", action="store_true",
                    help="merge the figures recorded in build/bench/ into bench/ and render the report there")
    ap.add_argument("--counts-only", action="store_true",
                    help="only count instructions (printed, not recorded)")
    args = ap.parse_args()
    if not args.report_only and args.peers is None:
        ap.error("a run needs --peers")

    DRAFT.mkdir(parents=True, exist_ok=True)
    all_results = recorded(DRAFT)
    if not args.report_only:
        start = time.perf_counter()
        load_start = os.getloadavg()[0]
        log = lambda msg: print(msg, flush=True)  # noqa: E731
        sys.path[:0] = [str(args.peers.resolve()), str(HERE / "peers")]
        version = f"{sys.version_info.major}.{sys.version_info.minor}"
        if args.counts_only:
            impls = [Impl(key, mod, roles) for key, _, mod, roles in IMPLS if key in COUNTED]
            print(json.dumps(run_counts(impls, args.peers.resolve(), log), indent=1))
            return
        impls = []
        for key, _, mod, roles in IMPLS:
            try:
                impls.append(Impl(key, mod, roles))
            except ImportError:
                if key in COUNTED:
                    raise
                log(f"  {LABEL[key]} is not built for this Python: left out")
        present = [row for row in IMPLS if row[0] in {impl.key for impl in impls}]
        log(f"Python {platform.python_version()}: timing")
        timings = run_timings(impls, args.repeats, args.target, log)
        log("import times")
        modules = list(dict.fromkeys(mod for _, _, mod, *_ in present))
        imports = import_times(modules, args.peers.resolve(), args.import_runs)
        log("memory")
        mem = memory([(key, mod, roles["C"]) for key, _, mod, roles in present], args.peers.resolve(),
                     args.memory_count, 3)
        instructions = None
        if counts.available():
            log("instruction counts (callgrind)")
            instructions = run_counts(impls, args.peers.resolve(), log)
        all_results[version] = {
            "python": platform.python_version(),
            "machine": machine(),
            "versions": versions(),
            "repeats": args.repeats,
            "target_s": args.target,
            "import_runs": args.import_runs,
            "memory_count": args.memory_count,
            "timings": timings,
            "import_us": imports,
            "memory": mem,
            "so_size": so_sizes(impls),
            "instructions": instructions,
            "elapsed_s": time.perf_counter() - start,
            "load": [load_start, os.getloadavg()[0]],
        }
        all_results = record(DRAFT, {version: all_results[version]})
    if args.publish:
        all_results = record(PUBLISHED, all_results)
    if not all_results:
        sys.exit("no results recorded yet")
    report(PUBLISHED if args.publish else DRAFT, all_results)


def recorded(where):
    """The figures recorded in where/results.json; for the draft, the published ones until it has its own."""
    for path in (where / "results.json", PUBLISHED / "results.json"):
        if path.exists():
            return json.loads(path.read_text())
    return {}


def record(where, new):
    """Merges new into where/results.json, read again at once: a run for another
    version (in the sid chroot, say) may have recorded its figures meanwhile."""
    merged = recorded(where) | new
    merged = dict(sorted(merged.items(), key=lambda kv: tuple(map(int, kv[0].split(".")))))
    (where / "results.json").write_text(json.dumps(merged, indent=1) + "\n")
    return merged


def report(where, all_results):
    (where / "README.md").write_text(render_readme(all_results))
    try:
        render_plot(all_results, where / "results.png")
    except ImportError:
        print("matplotlib is missing: results.png is not redrawn (bench/run.sh on the host redraws it)")
    print(f"wrote {where / 'README.md'}")


if __name__ == "__main__":
    main()
