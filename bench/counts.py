"""Instruction counts under callgrind, for bench.py.

Wall-clock medians on a shared machine drift between cells; the number of
instructions a call executes does not. A statement's count is the difference
between two runs of one program that differ only in how many times the
statement runs, divided by the difference: start-up, imports, setup and the
first call's one-time work cancel out. The same difference for an empty
statement (the timing loop alone) is then taken off. The interpreters start
without the site module (-S), which only shortens the runs. Every run has a fixed
hash seed, and each figure is the mean over several seeds, since string
hashes steer dictionary probes and so the counts.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import statistics
import subprocess
import tempfile

SEEDS = (1, 2, 3)
LOW, HIGH = 200, 2200  # runs of the statement in the short and the long program

CHILD = r"""
import importlib, json, sys, timeit
module, roles, stmt, setup, number = sys.argv[1:6]
mod = importlib.import_module(module)
ns = type("NS", (), {role: getattr(mod, name) for role, name in json.loads(roles).items()})
timeit.Timer(stmt, setup, globals={"_ns": ns}).timeit(int(number))
"""

COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")


def available():
    return shutil.which("valgrind") is not None


def total(argv, env):
    """Instructions executed by the whole process `argv` under callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "log")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", f"--log-file={log}", *argv]
        subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(log) as f:
            found = COLLECTED.findall(f.read())
    if not found:
        raise RuntimeError(f"callgrind reported no count for {argv}")
    return int(found[-1])


def seeded(env, seed):
    return dict(env, PYTHONHASHSEED=str(seed))


def per_run(python, env, module, roles, stmt, setup):
    """Mean over the seeds of the instructions one run of `stmt` costs, loop included."""
    values = []
    for seed in SEEDS:
        def count(number):
            argv = [python, "-S", "-c", CHILD, module, json.dumps(roles), stmt, setup, str(number)]
            return total(argv, seeded(env, seed))
        values.append((count(HIGH) - count(LOW)) / (HIGH - LOW))
    return statistics.mean(values)


def import_cost(python, env, module):
    """Mean over the seeds of what `import module` adds to a bare interpreter run."""
    values = []
    for seed in SEEDS:
        e = seeded(env, seed)
        values.append(total([python, "-S", "-c", f"import {module}"], e) - total([python, "-S", "-c", "pass"], e))
    return statistics.mean(values)
