"""Every allocation of a call fails in turn: kestrine must raise or succeed
correctly, never crash, and leave the interpreter usable with nothing leaked."""

import gc
import operator
import subprocess
import sys
import textwrap

import pytest

import kestrine
import kestrine_testing as kt
from conftest import EMULATED, rounds
from kestrine import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere


def reading(value):
    if isinstance(value, (Cylinder, Cone)):
        return type(value), value.radius(), value.half_length()
    if isinstance(value, PyMesh):
        return type(value), value.mesh_path
    if isinstance(value, (Capsule, Cuboid, Sphere)):
        return type(value)
    return type(value), value


def outcome(result):
    value, exc, _ = result
    if exc is None:
        return ("ok", reading(value))
    return ("raised", type(exc))


DRAIN = []


def call_failing(point, fn, args, kwargs):
    # Empty the float free list, so that a float result really allocates.
    # (Held globally: a fed-back exception's traceback keeps this frame.)
    DRAIN[:] = [i + 0.5 for i in range(200)]
    try:
        return kt.failing_call(point, fn, args, kwargs)
    finally:
        DRAIN.clear()


def sweep(fn, args=(), kwargs=None):
    """Fails each allocation point of fn(*args) in turn; returns how many."""
    normal = call_failing(-1, fn, args, kwargs)
    points = normal[2]
    for point in range(points + 2):
        got = call_failing(point, fn, args, kwargs)
        assert got[1] is not SystemError, (point, "null returned without an exception")
        if isinstance(got[1], MemoryError):
            continue
        if isinstance(got[1], SystemError) and str(got[1]).startswith("<function"):
            continue  # the interpreter loses a Python hook's exception on its own
        # Messages may degrade (a type name that could not be read), types not.
        assert outcome(got) == outcome(normal), (point, got, normal)
    return points


def caught_panic():
    try:
        Cuboid([])
    except BaseException as exc:
        return exc


CAUGHT = caught_panic()


class PanicFloat:
    def __float__(self):
        raise CAUGHT.with_traceback(None)


mesh = PyMesh("meshes/" + "é" * 40)
cylinder = Cylinder(1.0, 2.0)
CASES = {
    "cylinder": (Cylinder, (1.0,), {"length": 2.0}),
    "cylinder through __new__": (Cylinder.__new__, (Cylinder, 1.0), {"length": 2.0}),
    "mesh refused through __new__": (PyMesh.__new__, (PyMesh,), {"file": "m.obj"}),
    "cylinder radius": (cylinder.radius, ()),
    "cone half_length": (Cone(1.0, 2.0).half_length, ()),
    "sphere": (Sphere, (2,)),
    "capsule refused": (Capsule, ("a", 2.0)),
    "unexpected keyword": (Sphere, (1.0,), {"colour": 2}),
    "missing arguments": (Capsule, ()),
    "too many": (Cone, (1, 2, 3)),
    "cuboid": (Cuboid, ([2, 4, 6, 8],)),
    "cuboid from range": (Cuboid, (range(2, 8, 2),)),
    "cuboid not a sequence": (Cuboid, (5,)),
    "cuboid str": (Cuboid, ("abc",)),
    "cuboid fault": (Cuboid, ([1.0],)),
    "mesh": (PyMesh, ("meshes/" + "é" * 40,)),
    "mesh_path": (operator.attrgetter("mesh_path"), (mesh,)),
    "mesh refused": (PyMesh, (b"m.obj",)),
    "mesh surrogate": (PyMesh, ("\udc80",)),
    "resumed panic": (Sphere, (PanicFloat(),)),
}


def test_every_class_is_swept():
    assert set(kestrine.__all__) <= {fn.__name__ for fn, *_ in CASES.values() if isinstance(fn, type)}


@pytest.fixture
def native_error_display(monkeypatch):
    # Since 3.13 the interpreter prints exceptions with Python code, which
    # itself crashes when a function object cannot be allocated; without this
    # hook it falls back to its C printer. (kestrine makes its tracebacks
    # with the C traceback printer; the interpreter still prints its own.)
    import traceback
    if hasattr(traceback, "_print_exception_bltin"):
        monkeypatch.delattr(traceback, "_print_exception_bltin")
    # The interpreter reports some of its own failures as unraisable; pytest
    # would keep every one of them.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)


@pytest.mark.parametrize("name", CASES)
def test_every_allocation_failure_is_survived(name, capfd, native_error_display):
    fn, *call = CASES[name]
    points = sweep(fn, *call)
    assert points > 0
    # Enough failing calls that a leak on any one failure path would show.
    repeat = max(1, rounds(300) // points)
    deltas = []
    for _ in range(6):  # the interpreter's own caches (tracebacks, lines) settle too, in spurts
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeat):
            sweep(fn, *call)
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert min(deltas) <= 50, deltas
    assert outcome(kt.failing_call(-1, fn, *call)) == outcome(kt.failing_call(-1, fn, *call))
    capfd.readouterr()


FRESH_IMPORT = textwrap.dedent(r"""
    import ctypes, gc, importlib.util, sys
    import kestrine_testing as kt
    panics = lambda: sum(isinstance(t, type) and t.__name__ == "PanicException" for t in gc.get_objects())
    entry = ctypes.PyDLL(importlib.util.find_spec("kestrine").origin).PyInit_kestrine
    entry.restype = ctypes.py_object
    before = panics()
    value, exc, points = kt.failing_call(int(sys.argv[1]), entry, ())
    assert exc is not SystemError
    # PanicException comes first, so that no fault has to make it; failing
    # that, the import fails with the error that stopped it.
    assert panics() - before == 1 or type(exc) is MemoryError, exc
    # A name that cannot be made or listed is a fault, by design.
    assert type(exc).__name__ != "PanicException" or str(exc) == "Python API call failed" \
        or str(exc).startswith("could not append __name__ to __all__")
    # Whatever happened, the next initialisation must work completely.
    module = entry()
    assert module.__all__ == sys.argv[2:]
    # and a class is never cached without its own __new__
    assert all("__new__" in vars(getattr(module, name)) for name in module.__all__)
    print(points, type(exc).__name__)
""")


# The first call by keyword also makes the class's interned names.
FIRST_KEYWORD_CALL = textwrap.dedent(r"""
    import sys, kestrine, kestrine_testing as kt
    value, exc, points = kt.failing_call(int(sys.argv[1]), kestrine.Cone, (), {"radius": 1.0, "length": 2.0})
    assert exc is None or isinstance(exc, MemoryError), exc
    cone = kestrine.Cone(length=2.0, radius=1.0)
    assert (cone.radius(), cone.half_length()) == (1.0, 1.0)
    for kwargs, msg in (({"length": 2.0}, "missing 1 required positional argument: 'radius'"),
                        ({"radius": 1.0, "len": 2.0}, "got an unexpected keyword argument 'len'")):
        try:
            kestrine.Cone(**kwargs)
        except TypeError as e:
            assert e.args == ("Cone.__new__() " + msg,), e
    print(points, type(exc).__name__)
""")


@pytest.mark.parametrize("script", [FRESH_IMPORT, FIRST_KEYWORD_CALL], ids=["import", "first keyword call"])
def test_first_use_survives_every_allocation_failure(script):
    run = lambda point: subprocess.run([sys.executable, "-c", script, str(point), *kestrine.__all__],
                                       capture_output=True, text=True, timeout=60)
    normal = run(-1)
    points = int(normal.stdout.split()[0])
    assert points > 2
    for point in range(0, points, 5 if EMULATED else 1):  # a fifth of the points under emulation
        proc = run(point)
        assert proc.returncode == 0, (point, proc.stderr[-3000:])
        # RuntimeError: a class object failed, with MemoryError as its cause.
        assert proc.stdout.split()[1] in ("NoneType", "MemoryError", "RuntimeError", "PanicException"), \
            (point, proc.stdout)



@pytest.mark.parametrize("count", [1, 16])  # as many as a call of ours drops, and more
def test_references_dropped_in_a_failing_call_are_released_as_it_returns(count):
    # Each finaliser runs before the call returns, outside any boundary of
    # ours (never inside a destructor), whichever allocation fails. The
    # finalisers allocate nothing, so that they cannot fail themselves.
    seen = [None] * count
    class Tracked:
        def __init__(self, i): self.i = i
        def __del__(self): seen[self.i] = kt.hold_count()
    for point in range(-1, 8):
        seen[:] = [None] * count
        call_failing(point, kt.drop_in_call, ([Tracked(i) for i in range(count)],), None)
        assert seen == [0] * count, point
