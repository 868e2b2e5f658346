"""Conversions between Python values and kestrine's native floats, float vectors and text."""
import array, collections, math, pathlib, re, struct, subprocess, sys
from collections.abc import Sequence
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import kestrine
from conftest import rounds
from kestrine_testing import to_f32, to_f32_vec, to_text

INF, NAN, F32_MAX, TIE = math.inf, math.nan, (2 - 2**-23) * 2.0**127, 2.0**128 - 2.0**103
BOOM = ValueError("boom")

def ref_f32(x):
    """Exact binary32 rounding (nearest, ties to even), overflowing to infinity."""
    if math.isnan(x) or math.isinf(x) or x == 0:
        return x
    if abs(x) >= TIE:
        return math.copysign(INF, x)
    quantum = Fraction(2) ** max(math.frexp(x)[1] - 24, -149)
    return math.copysign(float(round(Fraction(abs(x)) / quantum) * quantum), x)

def same(got, want):
    if math.isnan(want):
        return type(got) is float and math.isnan(got)
    return type(got) is float and got == want and math.copysign(1, got) == math.copysign(1, want)


class Hook:  # returns or raises `value` from __float__ (Num) or __index__ (Idx), logging each call
    def __init__(self, value, log=None): self.value, self.log = value, log
    def _get(self):
        if self.log is not None: self.log.append(self.value)
        if isinstance(self.value, BaseException): raise self.value
        return self.value
class Num(Hook): __float__ = Hook._get
class Idx(Hook): __index__ = Hook._get
class FloatSub(float):
    def __float__(self): return 99.0
class StrSub(str):
    def __str__(self): raise AssertionError("__str__ called")
class Boom(Exception): pass
class Seq(Sequence):
    def __init__(self, items, fail_at=None): self.items, self.fail_at = items, fail_at
    def __len__(self): return len(self.items)
    def __getitem__(self, i):
        if i == self.fail_at: raise Boom("midway")
        return self.items[i]
class BadLen(Seq):
    def __len__(self): raise RuntimeError("no length")
class HugeLen(Seq):
    def __len__(self): return sys.maxsize
def f():
    class C: pass
    return C()

@pytest.mark.parametrize("x, want", [
    (0.1, 0.10000000149011612), (1 + 2**-24, 1.0), (1 + 3 * 2**-24, 1 + 2**-22), (-(1 + 2**-24), -1.0),
    (F32_MAX, F32_MAX), (TIE - 2.0**75, F32_MAX), (TIE, INF), (-TIE, -INF), (1e39, INF), (-1e39, -INF),
    (2.0**-149, 2.0**-149), (2.0**-150, 0.0), (-(2.0**-150), -0.0), (3 * 2.0**-151, 2.0**-149),
    (3 * 2.0**-150, 2.0**-148), (5e-324, 0.0), (0.0, 0.0), (-0.0, -0.0), (INF, INF), (-INF, -INF),
    (NAN, NAN), (-1.0, -1.0), (-1, -1.0), (2, 2.0), (True, 1.0), (False, 0.0), (2**24 + 1, 2.0**24),
    (2**200, INF), (Num(-1.0), -1.0), (Num(0.1), 0.10000000149011612), (Num(NAN), NAN), (Idx(7), 7.0),
    (Idx(-1), -1.0), (FloatSub(2.5), 2.5), (FloatSub(0.1), 0.10000000149011612),  # stored value, not __float__
])
def test_narrowing(x, want):
    assert same(ref_f32(float.__float__(x) if isinstance(x, float) else float(x)), want)
    assert same(to_f32(x), want) and same(kestrine.Cone(x, 1.0).radius(), want)
    assert same(kestrine.Cylinder(x, 1.0).radius(), want)

def midpoint(bits, nudge):  # halfway between two adjacent binary32 values, optionally one double ulp off
    a, b = struct.unpack("<2f", struct.pack("<2I", bits, bits + 1))
    mid = TIE if math.isinf(b) else (a + b) / 2
    return math.nextafter(mid, nudge * INF) if nudge else mid

@settings(max_examples=rounds(4000), deadline=None)
@given(st.one_of(st.floats(), st.floats(-2.0**-120, 2.0**-120),
                 st.builds(midpoint, st.integers(0, 0x7F7FFFFF), st.sampled_from([-1, 0, 1])),
                 st.builds(midpoint, st.integers(0, 0x7F7FFFFF), st.just(0)).map(lambda x: -x)))
def test_narrowing_matches_reference(x):
    want = ref_f32(x)
    if math.isfinite(want):  # the reference agrees with the interpreter's own packing where it can pack
        assert same(struct.unpack("f", struct.pack("f", x))[0], want)
    assert same(to_f32(x), want)

@pytest.mark.parametrize("obj, exc", [
    (Num(BOOM), ValueError), (Idx(Boom("idx")), Boom), (10**400, OverflowError), ("1.5", TypeError),
    (None, TypeError), (Num("x"), TypeError),
], ids=["float-raises", "index-raises", "overflow", "str", "none", "non-float-returned"])
def test_float_conversion_errors_pass_through(obj, exc):
    with pytest.raises(exc) as native:  # the interpreter's own conversion, in its own words
        math.fabs(obj)
    label = "argument 'radius': " if exc is TypeError else ""  # only TypeError gets the parameter name
    for convert, prefix in ((to_f32, ""), (lambda o: kestrine.Cone(o, 1.0), label), (kestrine.Sphere, label)):
        with pytest.raises(exc) as info:
            convert(obj)
        assert type(info.value) is exc and str(info.value) == prefix + str(native.value)
        if isinstance(getattr(obj, "value", None), BaseException):
            assert info.value is obj.value

@pytest.mark.parametrize("seq, want", [
    ((1, 2, 3), [1.0, 2.0, 3.0]), ([1.5, True, 0.1], [1.5, 1.0, 0.10000000149011612]),
    (range(1, 4), [1.0, 2.0, 3.0]), (b"abc", [97.0, 98.0, 99.0]), (bytearray(b"\x01\x02"), [1.0, 2.0]),
    (array.array("d", [0.1, 1e39]), [0.10000000149011612, INF]), (collections.deque([4, 5]), [4.0, 5.0]),
    (Seq([1, 2.5]), [1.0, 2.5]), (BadLen([1, 2, 3]), [1.0, 2.0, 3.0]), (HugeLen([7, 8, 9]), [7.0, 8.0, 9.0]),
    ((), []), (b"", []), (list(range(3000)), [float(i) for i in range(3000)]),
])
def test_vector_from_sequences(seq, want):
    assert to_f32_vec(seq) == want

@pytest.mark.parametrize("obj, message", [
    ("abc", "Can't extract `str` to `Vec`"), ("", "Can't extract `str` to `Vec`"),
    (StrSub("abc"), "Can't extract `str` to `Vec`"), ({1, 2, 3}, "'set' object cannot be converted to 'Sequence'"),
    ({1: 2}, "'dict' object cannot be converted to 'Sequence'"), (5, "'int' object cannot be converted to 'Sequence'"),
    ((x for x in (1, 2)), "'generator' object cannot be converted to 'Sequence'"),
    (f(), "'f.<locals>.C' object cannot be converted to 'Sequence'"), ([1, "a", 3], "must be real number, not str"),
])
def test_vector_refuses(obj, message):
    for convert, prefix in ((to_f32_vec, ""), (kestrine.Cuboid, "argument 'sides': ")):
        with pytest.raises(TypeError, match=f"^{re.escape(prefix + message)}$"):
            convert(obj)

def test_vector_converts_in_order_and_stops_at_first_failure():
    log = []
    assert to_f32_vec([Num(3.0, log), Num(1.0, log), Num(2.0, log)]) == [3.0, 1.0, 2.0] and log == [3.0, 1.0, 2.0]
    for convert in (to_f32_vec, kestrine.Cuboid):
        log.clear()
        with pytest.raises(ValueError) as info:
            convert([Num(1.0, log), Num(BOOM, log), Num(4.0, log)])
        assert info.value is BOOM and log == [1.0, BOOM]
        with pytest.raises(Boom, match="^midway$"):
            convert(Seq([1, 2, 3], fail_at=1))

class Edit:  # __float__ applies `edit` to the list it sits in, then gives `value`
    def __init__(self, edit, value=5.0): self.edit, self.value, self.home = edit, value, None
    def __float__(self):
        self.edit(self.home)
        return self.value

def edited_list(edit, at, size):
    items = [float(i) for i in range(size)]
    items[at] = Edit(edit)
    items[at].home = items
    return items

@pytest.mark.parametrize("size", [3, 6])  # within and beyond the floats kept without a buffer
@pytest.mark.parametrize("at", [0, 1])
@pytest.mark.parametrize("edit", [list.pop, list.clear, lambda l: l.append(7.0), lambda l: l.extend([7.0] * 9),
                                  lambda l: l.__delitem__(0), lambda l: l.__setitem__(slice(None), [8.0])])
def test_list_edited_while_converting_reads_as_its_iterator_does(edit, at, size):
    want = [float(x) for x in edited_list(edit, at, size)]  # the list iterator's own reading
    assert to_f32_vec(edited_list(edit, at, size)) == want

class Relay:  # replaces itself in the list it sits in and appends a successor, counting the live ones
    alive = peak = 0
    def __init__(self, home, i, last):
        self.home, self.i, self.last = home, i, last
        Relay.alive += 1; Relay.peak = max(Relay.peak, Relay.alive)
    def __float__(self):
        self.home[self.i] = 1.0
        if self.i < self.last: self.home.append(Relay(self.home, self.i + 1, self.last))
        return 1.0
    def __del__(self): Relay.alive -= 1

@pytest.mark.parametrize("wrap", [lambda items: items, Seq], ids=["list", "sequence"])
def test_items_are_released_as_they_are_read(wrap):
    Relay.alive = Relay.peak = 0
    home = []
    home.append(Relay(home, 0, 99))
    assert to_f32_vec(wrap(home)) == [1.0] * 100 and Relay.peak == 2

# Code that runs inside a read (a collection left due, which the read's
# signal check runs; a keyword's __str__ clearing the dict it came from)
# changes what the read holds only as it would for the interpreter's own.
ARM = ("import gc, threading, kestrine, kestrine_testing as kt\nlst = [1.0] * 5000\n"
       "def arm():\n    global keep; keep = ({1}, {2}); return lst\n"
       "gc.callbacks.append(lambda phase, info: lst.clear()); gc.set_threshold(1)\n")
KEY = ("import gc, sys, kestrine\nclass K(str):\n    def __str__(self):\n"
       "        ds = [r for r in gc.get_referrers(self) if type(r) is dict]\n        del self\n"
       "        for d in ds: d.clear()\n        raise ValueError\n"
       "sys.unraisablehook = lambda u: None\ntry: {}\nexcept TypeError as e: print(e)")
UNKNOWN = "Sphere.__new__() got an unexpected keyword argument '<unprintable K object>'"

@pytest.mark.parametrize("code, printed", [
    (ARM + "print(len(kt.to_f32_vec(arm())))", "4095"),
    (ARM + "def work():\n    lst[:] = [1.0] * 5000\n    print(len(kt.to_f32_vec(arm())))\n"
     "t = threading.Thread(target=work); t.start(); t.join()", "4095"),
    (KEY.format("kestrine.Sphere.__new__(kestrine.Sphere, **{K('zz'): 1})"), UNKNOWN),
    (KEY.format("type.__call__(kestrine.Sphere, **{K('zz'): 1})"), UNKNOWN)])
def test_python_code_inside_a_read(code, printed):
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout) == (0, printed + "\n"), r.stderr

INLINE_TEXT = 2 * struct.calcsize("P")  # UTF-8 bytes kept without a buffer of their own: two pointers' worth

@pytest.mark.parametrize("text", ["mesh.obj", "é", "\U0001F600", "日本語", "a\x00b", "", "\x00", StrSub("m.obj"),
                                  "m" * INLINE_TEXT, "m" * (INLINE_TEXT + 1), "é" * (INLINE_TEXT // 2),
                                  "\x00" + "é" * (INLINE_TEXT // 2), "meshes/" + "é" * 40])
def test_text_is_exact_utf8(text):  # a str subclass gives its own characters; its __str__ is never called
    data, on_heap, back = to_text(text)
    path = kestrine.PyMesh(text).mesh_path
    assert (data, on_heap, back, type(back), path, type(path)) == (
        str.encode(text), len(str.encode(text)) > INLINE_TEXT, text, str, text, str)

@pytest.mark.parametrize("convert", [to_text, kestrine.PyMesh])
@pytest.mark.parametrize("text", ["\udc80", "a\ud800b"])
def test_text_with_lone_surrogate_raises_unicode_error(convert, text):
    with pytest.raises(UnicodeEncodeError, match="^'utf-8' codec can't encode character .* surrogates not allowed$"):
        convert(text)

@pytest.mark.parametrize("obj, name", [(5, "int"), (b"m.obj", "bytes"), (None, "NoneType"), (f(), "f.<locals>.C"),
                                       (pathlib.Path("m.obj"), type(pathlib.Path()).__name__)])
def test_text_refuses_non_str(obj, name):
    message = f"'{name}' object cannot be converted to 'PyString'"
    for convert, prefix in ((to_text, ""), (kestrine.PyMesh, "argument 'path': ")):
        with pytest.raises(TypeError, match=f"^{re.escape(prefix + message)}$"):
            convert(obj)

def test_results_are_new_objects():
    x, path = 2.5, "".join(["m", ".obj"])
    a, b = to_f32(x), to_f32(x)
    cone, mesh = kestrine.Cone(x, 1.0), kestrine.PyMesh(path)
    r1, r2, p1, p2 = cone.radius(), cone.radius(), mesh.mesh_path, mesh.mesh_path
    assert a == b == r1 == r2 == x and len({id(a), id(b), id(r1), id(r2), id(x)}) == 5
    assert p1 == p2 == path and len({id(p1), id(p2), id(path)}) == 3
