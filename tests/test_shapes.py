import ctypes
import gc
import math
import signal
import struct
import subprocess
import sys
import time
import weakref

import pytest

import kestrine
from kestrine import Capsule, Cone, Cuboid, Cylinder, Sphere

INF, NAN = math.inf, math.nan


def native_message(value):
    """The interpreter's own text for a failed float conversion of value."""
    with pytest.raises((TypeError, OverflowError)) as info:
        math.fabs(value)
    return str(info.value)


def oob(n):
    return f"index out of bounds: the len is {n} but the index is {n}"


def same(got, want):
    return math.isnan(got) if math.isnan(want) else (got, math.copysign(1, got)) == (want, math.copysign(1, want))


@pytest.mark.parametrize("call, exc_type, message", [
    ("Sphere()", TypeError, "Sphere.__new__() missing 1 required positional argument: 'radius'"),
    ("Capsule()", TypeError, "Capsule.__new__() missing 2 required positional arguments: 'radius' and 'length'"),
    ("Cone(1.0)", TypeError, "Cone.__new__() missing 1 required positional argument: 'length'"),
    ("Sphere(1.0, 2.0)", TypeError, "Sphere.__new__() takes 1 positional arguments but 2 were given"),
    ("Cylinder(1.0, 2.0, 3.0)", TypeError, "Cylinder.__new__() takes 2 positional arguments but 3 were given"),
    ("Cone(1.0, 2.0, height=3.0)", TypeError, "Cone.__new__() got an unexpected keyword argument 'height'"),
    ("Cylinder(1.0, 2.0, radius=3.0)", TypeError, "Cylinder.__new__() got multiple values for argument 'radius'"),
    ("Cylinder('a', 'b')", TypeError, "argument 'radius': " + native_message("a")),
    ("Capsule(1.0, None)", TypeError, "argument 'length': " + native_message(None)),
    ("Sphere(10**400)", OverflowError, native_message(10**400)),
    ("Cuboid('abc')", TypeError, "argument 'sides': Can't extract `str` to `Vec`"),
    ("Cuboid(5)", TypeError, "argument 'sides': 'int' object cannot be converted to 'Sequence'"),
    ("Cuboid(x for x in (2, 4, 6))", TypeError, "argument 'sides': 'generator' object cannot be converted to 'Sequence'"),
    ("Cuboid([1.0, 'a', 3.0])", TypeError, "argument 'sides': " + native_message("a")),
    ("Cuboid([2, 4, 6, 'x'])", TypeError, "argument 'sides': " + native_message("x")),
    ("Cuboid(['x'])", TypeError, "argument 'sides': " + native_message("x")),
    ("Cuboid([])", "PanicException", oob(0)),
    ("Cuboid([1.0])", "PanicException", oob(1)),
    ("Cuboid([1.0, 2.0])", "PanicException", oob(2)),
    ("Cuboid([1, 2, 3]).half_extents", AttributeError, "'builtins.Cuboid' object has no attribute 'half_extents'"),
    ("Capsule(1, 2).radius", AttributeError, "'builtins.Capsule' object has no attribute 'radius'"),
    ("Sphere(1).radius", AttributeError, "'builtins.Sphere' object has no attribute 'radius'"),
    ("Cylinder(1, 2).radius(5)", TypeError, "Cylinder.radius() takes no arguments (1 given)"),
    ("Cone(1, 2).half_length(5)", TypeError, "Cone.half_length() takes no arguments (1 given)"),
])
def test_failures(call, exc_type, message, capfd, classes):
    with pytest.raises(BaseException) as info:
        eval(call, dict(classes))
    exc, err = info.value, capfd.readouterr().err
    if exc_type == "PanicException":
        assert type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)
        assert "panicked at src/shape/py_cuboid" in err and message in err
    else:
        assert type(exc) is exc_type and err == ""
    assert str(exc) == message


@pytest.mark.parametrize("make, radius, half_length", [
    ("Cylinder(0.1, 1.0)", 0.10000000149011612, 0.5),
    ("Cylinder(1.0, 0.3)", 1.0, 0.15000000596046448),
    ("Cone(2, 5)", 2.0, 2.5),
    ("Cone(length=5, radius=2)", 2.0, 2.5),
    ("Cylinder(-1.0, length=-4.0)", -1.0, -2.0),
    ("Cone(0.0, -0.0)", 0.0, -0.0),
    ("Cylinder(-INF, INF)", -INF, INF),
    ("Cylinder(1e39, 1)", INF, 0.5),
    ("Cylinder(1.0, 6e38)", 1.0, INF),  # narrowed to infinity before halving
    ("Cone(NAN, NAN)", NAN, NAN),
])
def test_readable_dimensions(make, radius, half_length, classes):
    shape = eval(make, dict(classes, INF=INF, NAN=NAN))
    assert type(shape.radius()) is float and same(shape.radius(), radius)
    assert type(shape.half_length()) is float and same(shape.half_length(), half_length)


@pytest.mark.parametrize("make, stored", [
    ("Capsule(length=2.0, radius=1.0)", (1.0, 1.0)),
    ("Capsule(-1.0, length=6e38)", (-1.0, INF)),
    ("Sphere(0.1)", (0.10000000149011612,)),
    ("Sphere(radius=NAN)", (NAN,)),
] + [(f"Cuboid({s!r})", (1.0, 2.0, 3.0)) for s in
     ((2, 4, 6), [2, 4, 6], range(2, 8, 2), bytes([2, 4, 6]), [2, 4, 6, 8], [2.0, 4, 6])])
def test_stored_payload(make, stored, classes):
    shape = eval(make, dict(classes, NAN=NAN))  # the payload follows the object header; a zero borrow word closes the instance
    got = struct.unpack(f"{len(stored)}f", ctypes.string_at(id(shape) + object.__basicsize__, 4 * len(stored)))
    assert all(same(g, w) for g, w in zip(got, stored))
    assert ctypes.c_size_t.from_address(id(shape) + type(shape).__basicsize__ - struct.calcsize("P")).value == 0


PRELUDE = """
from kestrine import *
try: Cuboid([])
except BaseException as e: saved = e
class Mute:
    def __str__(self): raise RuntimeError("no text")
class Hook:
    def __len__(self): raise saved.with_traceback(None)
    def __getitem__(self, i): return (2, 4, 6)[i]
    def __float__(self): raise saved.with_traceback(None)
"""


def run_script(body):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + body], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout.splitlines(), proc.stderr.splitlines()


@pytest.mark.parametrize("call, hook", [("Cuboid(Hook())", "__len__"), ("Sphere(Hook())", "__float__")])
@pytest.mark.parametrize("mute, message", [(False, oob(0)), (True, "Unwrapped panic from Python code")])
def test_caught_fault_fed_back_resumes(call, hook, mute, message):
    out, err = run_script(f"""
if {mute}: saved.args = (Mute(),)
try: {call}
except BaseException as e: print(type(e) is type(saved), e is not saved, e, sep="\\n")
""")
    assert out == ["True", "True", message]
    assert sum("panicked at" in line for line in err) == 1  # a resumed fault writes no second report
    banner = next(i for i, line in enumerate(err) if line.startswith("---") and line.endswith("---"))
    assert err[banner + 1] == "Python stack trace below:"
    assert any(f"in {hook}" in line for line in err[banner:])


def test_keyword_argument_outlives_an_earlier_conversion():
    # Converting radius drops every other reference to the length argument.
    log = []
    Length = type("Length", (), {"__float__": lambda s: log.append("converted") or 4.0,
                                 "__del__": lambda s: log.append("freed")})
    length = Length()
    ref = weakref.ref(length)

    class Radius:
        def __float__(self):
            for holder in gc.get_referrers(ref()):
                if isinstance(holder, dict):
                    holder.clear()
            log.append("cleared")
            return 1.0
    kwargs = {"radius": Radius(), "length": length}
    del length
    c = Cylinder.__new__(Cylinder, **kwargs)
    assert (c.radius(), c.half_length(), log) == (1.0, 2.0, ["cleared", "converted", "freed"])


# Only an interrupt ends these reads early: ten seconds bound what takes
# minutes. Each item of the last two converts slowly in C, running no
# bytecode, and there are too few of them for the count of items to matter.
@pytest.mark.parametrize("sides", ["range(10**9)", "[BIG] * 4000", "collections.deque([BIG] * 4000)"])
def test_long_read_can_be_interrupted(sides):
    code = ("import collections, decimal, kestrine, signal\n"
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"  # even if run in the background
            "BIG = decimal.Decimal('1' * 10**6)\nprint('reading', flush=True)\n"
            f"try: kestrine.Cuboid({sides})\nexcept KeyboardInterrupt: print('interrupted')")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "reading\n"
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert (out, proc.returncode) == ("interrupted\n", 0), err
