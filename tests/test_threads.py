"""Many threads constructing, reading and faulting at once, with frequent thread switches."""
import ctypes
import os
import pathlib
import struct
import subprocess
import sys
import threading
import time

import pytest

import kestrine
import kestrine_testing as kt
from conftest import rounds
from kestrine import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

OOB = "index out of bounds: the len is 1 but the index is 1"


def caught(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        return e


def payload(shape, n):
    return struct.unpack(f"{n}f", ctypes.string_at(id(shape) + object.__basicsize__, 4 * n))


def run_until(stop, failures, ends, name, step):
    i = 0
    try:
        while time.monotonic() < stop:
            step(i)
            i += 1
    except BaseException as e:  # noqa: BLE001 - a wrong value or an unexpected exception ends the thread
        failures.append((name, i, repr(e)))
    ends[name] = (i, kt.hold_count())


def worker_step(t, shared, cells):
    def step(i):
        r, h = t + (i % 64) * 0.25, 0.5 + (i % 32) * 0.25  # exact in single precision
        path = f"t{t}/{i}/" + ("модели/🫖.obj" if i % 2 else "mesh.obj")
        got = [(s.radius(), s.half_length()) for s in (Cylinder(r, 2 * h), Cone(length=2 * h, radius=r), *shared[:2])]
        got += [payload(Capsule(r, length=2 * h), 2), payload(Sphere(r), 1), payload(Cuboid([2 * r, 2 * h, 2.0]), 3)]
        got += [PyMesh(path).mesh_path, shared[2].mesh_path] + [(c.value(), c.prop) for c in cells]
        want = [(r, h), (r, h), (1.25, 0.75), (2.5, 0.25), (r, h), (r,), (r, h, 1.0), path, "shared/网格.stl"]
        assert got == want + [(1.0, 1.0), (1.25, 1.25), (1.5, 1.5)]
    return step


def fault_step(drops):
    saved = caught(lambda: Cuboid([1.0]))

    class Hook:
        def __float__(self):
            raise saved.with_traceback(None)
    bad = [(lambda: Sphere("x"), TypeError, "argument 'radius': must be real number, not str"),
           (lambda: Cone(1, 2, colour=3), TypeError, "Cone.__new__() got an unexpected keyword argument 'colour'"),
           (lambda: PyMesh(b"x"), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
           (lambda: kt.raise_fault("static"), type(caught(lambda: kt.raise_fault("static"))), "static fault")]
    faults = [(lambda: Cuboid([1.0]), type(saved), OOB), (lambda: Sphere(Hook()), type(saved), OOB)]

    def step(i):  # the faults that write a report to stderr run on every fourth step, 300 times at most
        for call, kind, message in bad + (faults if i % 4 == 0 and i < 1200 else []):
            e = caught(call)
            assert type(e) is kind and e.args == (message,) and e is not saved, (message, e)
        kt.FaultyDealloc(1)
        drops.append(i)
    return step


def test_threads_construct_read_and_fault_concurrently():
    failures, ends, drops, unraised = [], {}, [], []
    shared = (Cylinder(1.25, 1.5), Cone(2.5, 0.5), PyMesh("shared/网格.stl"))
    cells = [kt.Cell(v) for v in (1.0, 1.25, 1.5)]
    steps = {t: worker_step(t, shared, cells) for t in range(8)} | {"faults": fault_step(drops)}
    interval, hook = sys.getswitchinterval(), sys.unraisablehook
    sys.setswitchinterval(1e-5)
    sys.unraisablehook = lambda report: unraised.append(report.exc_value.args)
    try:
        stop = time.monotonic() + 2.5
        threads = [threading.Thread(target=run_until, args=(stop, failures, ends, n, s)) for n, s in steps.items()]
        [th.start() for th in threads]
        [th.join() for th in threads]
    finally:
        sys.setswitchinterval(interval)
        sys.unraisablehook = hook
    assert failures == []
    assert ends.keys() == steps.keys() and all(n > 10 and held == 0 for n, held in ends.values()), ends
    assert unraised == [("static fault in dealloc",)] * len(drops)
    assert [kt.borrow_flag(c) for c in cells] == [0, 0, 0] and kt.hold_count() == 0


DAEMONS = """
import fractions, threading, time, kestrine
class Slow:  # releasing the last reference gives up the GIL
    def __float__(self): return 1.0
    def __del__(self): time.sleep(0.0005)
class Seq:
    def __len__(self): return 3
    def __getitem__(self, i):
        if i >= 3: raise IndexError(i)
        return Slow()
class Swap(Slow):  # replaced in its list while it converts: ours is then the last reference
    def __float__(self):
        self.box[self.box.index(self)] = 1.0
        return 1.0
def swapping():
    box = [Swap(), Swap(), Swap()]
    for s in box: s.box = box
    return box
class Hint(Seq):  # the dropped error's traceback holds the last reference
    def __len__(self):
        slow = Slow()
        raise ValueError
def spin():
    r = fractions.Fraction(1, 3)  # its __float__ is Python code: the GIL changes hands inside the call
    while True:
        {}
for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.3)
"""


# At exit, 3.12 and 3.13 end daemon threads by unwinding them from inside the
# call (pthread_exit); later versions leave them blocked. Either way the
# process ends normally.
# glibc's pthread_exit unwinds with libgcc's unwinder; a module that links
# a private one (LLVM libunwind, as zig's toolchain does) cannot take part.
OWN_UNWINDER = b"libunwind: " in pathlib.Path(kestrine.__file__).read_bytes()


@pytest.mark.skipif(OWN_UNWINDER, reason="built with a private unwinder, which pthread_exit's unwind cannot use")
@pytest.mark.parametrize("body", ["kestrine.Cylinder(r, length=r)",
                                  "try: kestrine.Sphere('x')\n        except TypeError: pass",
                                  "kestrine.Cuboid(Seq())", "kestrine.Cuboid(Hint())",
                                  "kestrine.Cuboid(swapping())"])
def test_daemon_threads_inside_calls_at_exit(body):
    runs = [subprocess.Popen([sys.executable, "-c", DAEMONS.format(body)], stderr=subprocess.PIPE, text=True)
            for _ in range(rounds(20))]
    assert [(p.communicate(timeout=120)[1], p.returncode) for p in runs] == [("", 0)] * rounds(20)


# Two counts printed at exit that must agree. A finaliser run while the
# interpreter finalizes holds the GIL, so what it makes is released; a
# daemon thread ended at exit (3.12, 3.13: unwound from its wait for the
# GIL) releases nothing it holds, so the count a later finaliser sees is the
# one the thread saw last.
AT_EXIT = {"finaliser-releases": """
import os, kestrine
def make():
    counts = [0, 0]
    class Item:
        def __init__(self): counts[0] += 1
        def __del__(self): counts[1] += 1
        def __float__(self): return 1.0
    class Seq:
        def __len__(self): return 3
        def __getitem__(self, i):
            if i >= 3: raise IndexError(i)
            return Item()
    class AtExit:
        def __del__(self, Cuboid=kestrine.Cuboid, write=os.write):
            for _ in range(100): Cuboid(Seq())
            write(1, f"{counts[0]} {counts[1]} 300".encode())
    return AtExit()
holder = make()
""", "daemon-keeps": """
import os, sys, threading, time, kestrine
def make():
    seen = []
    class Sleeper:
        def __float__(self):
            seen.append(True)
            time.sleep(0.5)  # the interpreter finalizes meanwhile
            return 1.0
    probe = Sleeper()
    threading.Thread(target=kestrine.Cuboid, args=([probe, 2.0, 3.0],), daemon=True).start()
    while not seen: time.sleep(0.001)
    during = sys.getrefcount(probe)  # with the thread's own references
    class AtExit:
        def __del__(self, sleep=time.sleep, count=sys.getrefcount, write=os.write):
            sleep(1.0)  # the daemon thread wakes and is ended
            write(1, f"{during} {count(probe)} {during}".encode())
    return AtExit()
sys.holder = make()  # a __main__ global would never be finalized while the thread lives
"""}


@pytest.mark.skipif(OWN_UNWINDER, reason="built with a private unwinder, which pthread_exit's unwind cannot use")
@pytest.mark.parametrize("code", AT_EXIT.values(), ids=AT_EXIT.keys())
def test_references_at_exit(code):
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    made, freed, expected = r.stdout.split()
    assert (made, freed, r.returncode) == (expected, expected, 0), r.stderr
