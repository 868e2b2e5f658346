"""Coverage-guided fuzzing of kestrine's constructors, methods and getter with atheris.

Each input is decoded (atheris.FuzzedDataProvider) into a few operations:
constructing any of the six classes from arbitrary positional and keyword
arguments (by call or through __new__), calling Cylinder/Cone.radius() and
.half_length() bound, unbound with any receiver and with surplus arguments,
reading PyMesh.mesh_path through the property and its descriptor, and trying
to set or delete attributes. The arguments are arbitrary Python values: ints
of any size, floats (nan, inf, -0.0, subnormals, binary32 rounding ties), bools,
None, str (lone surrogates, NULs, non-ASCII), bytes, bytearray, lists, tuples,
ranges, sets, dicts, generators, and objects whose __float__, __index__,
__len__, __iter__ or __getitem__ return odd things, raise (among others a
caught kestrine PanicException) or call back into kestrine.

Every outcome is checked against a model of what the call must do: which
exception type escapes (binding errors, conversion errors, the user's own
exception, a PanicException for a short Cuboid) or, on success, the values
stored (methods, getter and, for the classes without accessors, the payload
read through ctypes as the test suite does). Beyond the model, only documented
exception types may ever escape; no unraisable report may appear unless an
unprintable keyword name asked for one; no reference to an argument or a
class may be gained or lost. Any breach raises AssertionError out of
TestOneInput, which atheris reports as a crash.

Standard error: kestrine writes fault reports and resumed-fault tracebacks to
file descriptor 2, and so do libFuzzer and atheris (progress lines, crash
reports). The descriptor is therefore pointed at /dev/null only while one
input runs and restored before TestOneInput returns or raises, so the
fuzzer's own output stays visible. Set KESTRINE_FUZZ_VERBOSE=1 to keep
everything (e.g. when replaying a crash file).

kestrine is native and not built with -fsanitize=fuzzer-no-link, so
atheris.instrument_imports() would not reach it: only this harness's Python
is instrumented, which is what steers the fuzzer across argument shapes and
outcomes.
"""
import ctypes
import gc
import math
import os
import signal
import struct
import sys
import threading
import warnings

import atheris

import kestrine as K

# __float__ returning a float subclass and __index__ returning a bool warn;
# the interpreter's default filters would print them, an error filter would
# change what the call does. Neither is under test here.
warnings.simplefilter("ignore")

VERBOSE = bool(os.environ.get("KESTRINE_FUZZ_VERBOSE"))
_ORIG_FD2 = os.dup(2)
_NULL_FD = os.open(os.devnull, os.O_WRONLY)


def mute():
    if not VERBOSE:
        sys.stderr.flush()
        os.dup2(_NULL_FD, 2)


def unmute():
    if not VERBOSE:
        sys.stderr.flush()
        os.dup2(_ORIG_FD2, 2)


# The PanicException type is taken once, from a fault of kestrine itself.
mute()
try:
    K.Cuboid([])
except BaseException as e:  # noqa: B036 - the fault is the point
    PANIC_EXC = e
finally:
    unmute()
PANIC = type(PANIC_EXC)
assert PANIC.__name__ == "PanicException" and not issubclass(PANIC, Exception), PANIC
PANIC_EXC.__traceback__ = None

UNRAISABLE = []
sys.unraisablehook = UNRAISABLE.append

INF, NAN = math.inf, math.nan
F32_MAX = (2 - 2**-23) * 2.0**127
TIE = 2.0**128 - 2.0**103  # halfway between F32_MAX and the next binary32 step: rounds to inf


class Fail(AssertionError):
    pass


def require(cond, *what):
    if not cond:
        raise Fail(" | ".join(repr(w) for w in what))


# ---------------------------------------------------------------- user values

class UserError(Exception):
    pass


class UserBase(BaseException):
    pass


class UserTypeError(TypeError):  # a TypeError subclass is passed on as it is
    pass


class PanicSub(PANIC):  # not kestrine's own type: never taken for a fault
    pass


RAISE_KINDS = [
    ("user", UserError), ("userbase", UserBase), ("type", TypeError), ("typesub", UserTypeError),
    ("value", ValueError), ("overflow", OverflowError), ("runtime", RuntimeError),
    ("key", KeyError), ("index", IndexError), ("zero", ZeroDivisionError), ("memory", MemoryError),
    ("panic", PANIC), ("panicnew", PANIC), ("panicsub", PanicSub),
]


class Raise:
    __slots__ = ("kind", "cls")

    def __init__(self, kind, cls):
        self.kind, self.cls = kind, cls

    def fire(self):
        if self.kind == "panic":  # the instance caught at start-up, fed back
            exc = PANIC_EXC
            exc.__traceback__ = exc.__context__ = exc.__cause__ = None
            raise exc
        if self.kind == "zero":
            return 1 / 0
        raise self.cls("raised by a fuzzed object")

    def __repr__(self):
        return f"Raise({self.kind})"


class Reenter:
    """A dunder result delivered only after calling back into kestrine."""
    __slots__ = ("value", "inner")

    def __init__(self, value, inner):
        self.value, self.inner = value, inner

    def __repr__(self):
        return f"Reenter({self.value!r}, {self.inner!r})"


def reenter(inner):
    # Whatever happens inside stays inside: the outer call must carry on.
    for make in (lambda: K.Sphere(inner), lambda: K.Cylinder(inner, 1.0).half_length(),
                 lambda: K.Cuboid([inner, inner]), lambda: K.PyMesh(inner)):
        try:
            make()
        except BaseException:  # noqa: B036
            pass


def behave(spec):
    if type(spec) is Raise:
        return spec.fire()
    if type(spec) is Reenter:
        reenter(spec.inner)
        return behave(spec.value)
    return spec


def resolve(spec):
    """What behave(spec) ends in, without running anything."""
    while type(spec) is Reenter:
        spec = spec.value
    return spec


class IterSpec:
    """__iter__ gives a generator over `items`, then `end` (a Raise) or stops."""
    __slots__ = ("items", "end")

    def __init__(self, items, end):
        self.items, self.end = items, end

    def __repr__(self):
        return f"IterSpec({self.items!r}, {self.end!r})"


def _gen(spec):
    yield from spec.items
    if spec.end is not None:
        spec.end.fire()


class GetItemSpec:
    """__getitem__(i) gives items[i], raises `fail` at `fail_at`, IndexError past the end."""
    __slots__ = ("items", "fail_at", "fail")

    def __init__(self, items, fail_at, fail):
        self.items, self.fail_at, self.fail = items, fail_at, fail

    def __repr__(self):
        return f"GetItemSpec({self.items!r}, {self.fail_at!r}, {self.fail!r})"


def _d_float(self):
    return behave(self.spec["__float__"])


def _d_index(self):
    return behave(self.spec["__index__"])


def _d_len(self):
    return behave(self.spec["__len__"])


def _d_iter(self):
    spec = self.spec["__iter__"]
    if type(spec) is IterSpec:
        return _gen(spec)
    return behave(spec)  # a Raise, or something that is no iterator


def _d_getitem(self, i):
    spec = self.spec["__getitem__"]
    if i == spec.fail_at:
        spec.fail.fire()
    if 0 <= i < len(spec.items):
        return spec.items[i]
    raise IndexError(i)


def _d_repr(self):
    return f"{type(self).__name__}({self.spec!r})"


DUNDERS = {"__float__": _d_float, "__index__": _d_index, "__len__": _d_len,
           "__iter__": _d_iter, "__getitem__": _d_getitem}
USER_CLASSES = []
for _mask in range(1, 1 << len(DUNDERS)):
    _ns = {"__slots__": ("spec",), "__repr__": _d_repr}
    _ns.update((name, fn) for bit, (name, fn) in enumerate(DUNDERS.items()) if _mask >> bit & 1)
    USER_CLASSES.append(type("U_" + "_".join(n.strip("_") for n in _ns if n in DUNDERS), (), _ns))
USER_SET = frozenset(USER_CLASSES)


class FloatSub(float):  # the stored value counts, never this __float__
    def __float__(self):
        return 99.0


class IntSub(int):
    pass


class IntFloat(int):  # an int whose own __float__ decides
    __slots__ = ()

    def __float__(self):
        return behave(INT_FLOAT_SPECS[int(self) % len(INT_FLOAT_SPECS)])


class StrSub(str):  # used as a path or a value; its __str__ is never needed
    def __str__(self):
        raise UserError("StrSub.__str__")


class StrKey(str):
    """A keyword name whose str() misbehaves according to `how`."""
    how = "ok"

    def __str__(self):
        how = self.how
        if how == "user":
            raise UserError("StrKey.__str__")
        if how == "base":
            raise UserBase("StrKey.__str__")
        if how == "nonstr":
            return 42
        if how == "panic":
            return Raise("panic", PANIC).fire()
        return str.__str__(self)


def str_key(text, how):
    k = StrKey(text)
    k.how = how
    return k


# ---------------------------------------------------------------- generation

def f32(x):
    """Binary32 narrowing as C++ does it (nearest even, overflow to inf)."""
    if x != x:
        return x
    if abs(x) < 3.4e38 and math.isfinite(x):
        return struct.unpack("f", struct.pack("f", x))[0]
    if math.isinf(x):
        return x
    try:  # struct refuses exactly when the narrowing overflows
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(INF, x)


def half32(x):
    return f32(f32(x) * 0.5)


def same(got, want):
    if type(got) is not float:
        return False
    if want != want:
        return got != got
    return got == want and math.copysign(1.0, got) == math.copysign(1.0, want)


SPECIAL_FLOATS = [
    0.0, -0.0, INF, -INF, NAN, -NAN, 5e-324, -5e-324, 2.0**-149, -(2.0**-149), 2.0**-150,
    -(2.0**-150), 3 * 2.0**-151, 3 * 2.0**-150, 2.0**-126, math.nextafter(2.0**-126, 0),
    F32_MAX, -F32_MAX, TIE, -TIE, math.nextafter(TIE, 0), math.nextafter(TIE, INF), 1e39, 3.4e38,
    3.5e38, 0.1, 0.3, 1 + 2.0**-24, 1 + 3 * 2.0**-24, -(1 + 2.0**-24), sys.float_info.max,
    -sys.float_info.max, sys.float_info.min, 16777217.0, 0.5, 1.0, -1.0, 6e38,
]
SPECIAL_INTS = [
    0, 1, -1, 2, 2**24 + 1, 2**53 + 1, 2**63 - 1, -(2**63), 2**64, 2**127, 2**128,
    2**128 - 2**103, 2**128 - 2**104, 10**308, 2**1024 - 2**970 - 1, 2**1024 - 2**970,
    2**1024, -(2**1024), 10**400, -(10**400), 2**31, -(2**31) - 1,
]
SPECIAL_STRS = [
    "", "radius", "length", "sides", "path", "\x00", "a\x00b", "\ud800", "a\udc80b", "\udfff",
    "é", "日本語", "\U0001F600", "1.5", "nan", "inf", "-0.0", "meshes/teapot.obj", "x" * 300,
    "\U0010FFFF", "\ufeff", "\ud83d\ude00",
]
KEY_NAMES = [
    "radius", "length", "sides", "path", "", "x", "height", "radius ", "Radius", "rädius",
    "1", "a b", "a-b", "\x00", "radius\x00", "\ud800", "self", "cls", "args", "kwargs",
    "__new__", "r" * 300, "ｒａｄｉｕｓ", "leng\u0074h",
]
INT_FLOAT_SPECS = [1.5, -0.0, NAN, 7, "x", FloatSub(2.5), Raise("value", ValueError),
                   Raise("panic", PANIC)]


def gen_float(fdp):
    k = fdp.ConsumeIntInRange(0, 5)
    if k == 0:
        return fdp.PickValueInList(SPECIAL_FLOATS)
    if k == 1:
        return fdp.ConsumeFloat()
    if k == 2:  # any double, by its bits
        return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
    if k == 3:  # any binary32
        return struct.unpack("<f", fdp.ConsumeBytes(4).ljust(4, b"\0"))[0]
    if k == 4:  # halfway between two binary32 values, maybe nudged one double ulp
        bits = fdp.ConsumeIntInRange(0, 0x7F7FFFFE)
        a, b = struct.unpack("<2f", struct.pack("<2I", bits, bits + 1))
        mid = (a + b) / 2
        nudge = fdp.ConsumeIntInRange(-1, 1)
        mid = math.nextafter(mid, nudge * INF) if nudge else mid
        return -mid if fdp.ConsumeBool() else mid
    return fdp.ConsumeRegularFloat()


def gen_int(fdp):
    k = fdp.ConsumeIntInRange(0, 2)
    if k == 0:
        return fdp.PickValueInList(SPECIAL_INTS)
    if k == 1:
        return fdp.ConsumeIntInRange(-1000, 1000)
    return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 160))


def gen_str(fdp):
    k = fdp.ConsumeIntInRange(0, 2)
    if k == 0:
        return fdp.PickValueInList(SPECIAL_STRS)
    if k == 1:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))


def gen_raise(fdp):
    kind, cls = fdp.PickValueInList(RAISE_KINDS)
    return Raise(kind, cls)


def gen_items(fdp, depth):
    return [gen_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))]


def gen_scalar_result(fdp, depth):
    """What a __float__ or __index__ hands back."""
    k = fdp.ConsumeIntInRange(0, 6)
    if k == 0:
        return gen_raise(fdp)
    if k == 1:
        return gen_float(fdp)
    if k == 2:
        return gen_int(fdp)
    if k == 3:
        return Reenter(gen_scalar_result(fdp, depth + 1) if depth < 3 else 1.0,
                       gen_value(fdp, depth + 1))
    if k == 4:
        return fdp.PickValueInList([True, False, None, "1.0", b"1", FloatSub(0.1), IntSub(5), [1.0]])
    if k == 5:
        return FloatSub(gen_float(fdp))
    return gen_value(fdp, depth + 1)


def gen_len_result(fdp, depth):
    k = fdp.ConsumeIntInRange(0, 4)
    if k == 0:
        return gen_raise(fdp)
    if k == 1:
        return gen_int(fdp)
    if k == 2:
        return Reenter(fdp.ConsumeIntInRange(-3, 3000), gen_value(fdp, depth + 1))
    if k == 3:
        return gen_user(fdp, depth + 1)
    return fdp.PickValueInList([None, 1.5, "3", True])


def gen_user(fdp, depth):
    cls = fdp.PickValueInList(USER_CLASSES)
    obj = cls()
    spec = {}
    for name in DUNDERS:
        if name not in cls.__dict__:
            continue
        if name in ("__float__", "__index__"):
            spec[name] = gen_scalar_result(fdp, depth)
        elif name == "__len__":
            spec[name] = gen_len_result(fdp, depth)
        elif name == "__iter__":
            k = fdp.ConsumeIntInRange(0, 2)
            if k == 0:
                spec[name] = IterSpec(gen_items(fdp, depth),
                                      gen_raise(fdp) if fdp.ConsumeBool() else None)
            elif k == 1:
                spec[name] = gen_raise(fdp)
            else:
                spec[name] = fdp.PickValueInList([5, None, [1.0, 2.0, 3.0], "abc"])
        else:
            items = gen_items(fdp, depth)
            fail_at = fdp.ConsumeIntInRange(-1, 6)
            spec[name] = GetItemSpec(items, fail_at, gen_raise(fdp))
    obj.spec = spec
    return obj


def hashable(v):
    try:
        hash(v)
    except TypeError:
        return False
    return v == v


def gen_value(fdp, depth=0):
    k = fdp.ConsumeIntInRange(0, 21 if depth < 3 else 9)
    if k <= 2:
        return gen_float(fdp)
    if k <= 4:
        return gen_int(fdp)
    if k == 5:
        return fdp.ConsumeBool()
    if k == 6:
        return None
    if k == 7:
        return gen_str(fdp)
    if k == 8:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
    if k == 9:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8)))
    if k <= 11:
        return gen_items(fdp, depth)
    if k == 12:
        return tuple(gen_items(fdp, depth))
    if k == 13:  # a short range, its bounds possibly far beyond binary64
        start, step = gen_int(fdp), gen_int(fdp) or 1
        return range(start, start + step * fdp.ConsumeIntInRange(0, 6), step)
    if k == 14:
        return set(v for v in gen_items(fdp, depth) if hashable(v))
    if k == 15:
        return {gen_str(fdp): gen_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if k == 16:
        return (v for v in gen_items(fdp, depth))
    if k <= 19:
        return gen_user(fdp, depth)
    if k == 20:
        return fdp.PickValueInList([FloatSub(gen_float(fdp)), IntSub(gen_int(fdp)),
                                    IntFloat(fdp.ConsumeIntInRange(0, 100)), StrSub(gen_str(fdp))])
    return fdp.PickValueInList([K.Cylinder(1.0, 2.0), K.Cone(1.0, 2.0), K.PyMesh("m"),
                                K.Sphere(0.5), K.Capsule(1, 2), K.Cuboid((1, 2, 3)), K,
                                K.Cylinder, PANIC_EXC, Ellipsis, 1j, object()])


# ------------------------------------------------------------------- oracle

class Err:
    """An expected failure: the exact exception type, and at which stage."""
    __slots__ = ("cls", "stage", "param", "unraisable")

    def __init__(self, cls, stage=None, param=None, unraisable=0):
        self.cls, self.stage, self.param, self.unraisable = cls, stage, param, unraisable

    def __repr__(self):
        return f"Err({self.cls.__name__}, {self.stage}, {self.param})"


def int_to_double(n):
    try:
        return float(int(n))
    except OverflowError:
        return Err(OverflowError)


def expect_double(v):
    """What PyFloat_AsDouble makes of v: a float, or an Err."""
    t = type(v)
    if isinstance(v, float):
        return float.__float__(v)  # a float subclass's stored value
    if t in USER_SET:
        spec = v.spec
        if "__float__" in spec:
            got = resolve(spec["__float__"])
            if type(got) is Raise:
                return Err(got.cls)
            return float.__float__(got) if isinstance(got, float) else Err(TypeError)
        if "__index__" in spec:
            got = resolve(spec["__index__"])
            if type(got) is Raise:
                return Err(got.cls)
            return int_to_double(got) if isinstance(got, int) else Err(TypeError)
        return Err(TypeError)
    if t is IntFloat:
        got = INT_FLOAT_SPECS[int(v) % len(INT_FLOAT_SPECS)]
        if type(got) is Raise:
            return Err(got.cls)
        return float.__float__(got) if isinstance(got, float) else Err(TypeError)
    if isinstance(v, int):  # int, bool, IntSub: int.__float__
        return int_to_double(v)
    return Err(TypeError)


def escapes_hint(got):
    """The exception a failed length hint lets through, if `got` raises one:
    kestrine's own fault (resumed) or an interrupt, anything not an Exception."""
    if type(got) is Raise and (got.cls is PANIC or not issubclass(got.cls, Exception)):
        return got.cls
    return None


def expect_index_escape(v):
    """What escapes the hint from PyNumber_AsSsize_t(v)."""
    if type(v) not in USER_SET or "__index__" not in v.spec:
        return None
    return escapes_hint(resolve(v.spec["__index__"]))


def expect_len_escape(v):
    if type(v) not in USER_SET or "__len__" not in v.spec:
        return None
    got = resolve(v.spec["__len__"])
    if type(got) is Raise:
        return escapes_hint(got)
    return expect_index_escape(got)  # the result goes through __index__


def model_items(v):
    """The items PyObject_GetIter/PyIter_Next give, then None or the Err that ends them."""
    t = type(v)
    if t in (list, tuple, range, bytes, bytearray):
        return list(v), None
    spec = v.spec
    if "__iter__" in spec:
        it = spec["__iter__"]
        if type(it) is IterSpec:
            return it.items, (Err(it.end.cls) if it.end is not None else None)
        if type(it) is Raise:
            return [], Err(it.cls)
        return [], Err(TypeError)  # not an iterator
    g = spec["__getitem__"]
    items = []
    for i in range(len(g.items) + 1):
        if i == g.fail_at:
            return items, (None if g.fail.cls is IndexError else Err(g.fail.cls))
        if i == len(g.items):
            break
        items.append(g.items[i])
    return items, None


def expect_vec(v):
    if isinstance(v, str):
        return Err(TypeError)
    t = type(v)
    is_seq = t in (list, tuple, range, bytes, bytearray) or (t in USER_SET and "__getitem__" in v.spec)
    if not is_seq:
        return Err(TypeError)
    if escaped := expect_len_escape(v):
        return Err(escaped)
    items, end = model_items(v)
    out = []
    for item in items:
        d = expect_double(item)
        if type(d) is Err:
            return d
        out.append(d)
    if end is not None:
        return end
    if len(out) < 3:
        return Err(PANIC)  # a short sequence is an internal fault
    return out


def expect_text(v):
    if not isinstance(v, str):
        return Err(TypeError)
    try:
        return str.__str__(v).encode("utf-8")
    except UnicodeEncodeError:
        return Err(UnicodeEncodeError)


PARAMS = {K.Capsule: ("radius", "length"), K.Cone: ("radius", "length"), K.Cuboid: ("sides",),
          K.Cylinder: ("radius", "length"), K.Sphere: ("radius",), K.PyMesh: ("path",)}
CONVERT = {"radius": expect_double, "length": expect_double, "sides": expect_vec,
           "path": expect_text}
CLASSES = [getattr(K, name) for name in K.__all__]  # each needs its PARAMS entry


def expect_call(cls, pos, kw):
    """The converted values in parameter order, or an Err."""
    names = PARAMS[cls]
    if len(pos) > len(names):
        return Err(TypeError, "bind")
    slots = list(pos) + [None] * (len(names) - len(pos))
    filled = [True] * len(pos) + [False] * (len(names) - len(pos))
    for key, value in kw.items():
        text = str.__str__(key)
        try:
            text.encode("utf-8")
            idx = names.index(text)
        except (UnicodeEncodeError, ValueError):
            how = key.how if type(key) is StrKey else "ok"
            if how == "panic":  # naming the key resumes the fault
                return Err(PANIC, "bind")
            if how == "base":  # an interrupt from naming the key is not papered over
                return Err(UserBase, "bind")
            return Err(TypeError, "bind", unraisable=int(how != "ok"))
        if filled[idx]:
            return Err(TypeError, "bind")
        slots[idx], filled[idx] = value, True
    if not all(filled):
        return Err(TypeError, "bind")
    out = []
    for name, value in zip(names, slots):
        got = CONVERT[name](value)
        if type(got) is Err:
            got.stage, got.param = "convert", name
            return got
        out.append(got)
    return out


def expected_state(cls, values):
    """What an instance built from `values` reads back."""
    if cls in (K.Cylinder, K.Cone, K.Capsule):
        return (f32(values[0]), half32(values[1]))
    if cls is K.Sphere:
        return (f32(values[0]),)
    if cls is K.Cuboid:
        return tuple(half32(x) for x in values[0][:3])
    return values[0]


# ------------------------------------------------------------------ calling

ALLOWED = (TypeError, OverflowError, ValueError, MemoryError, RuntimeError,  # ValueError covers
           KeyError, IndexError, ZeroDivisionError, UserError, UserBase, PanicSub)  # UnicodeEncodeError
IMMORTALISH = (int, float, bool, str, bytes, type(None), StrKey, StrSub, IntSub, FloatSub, IntFloat,
               type)  # shared or cached objects; classes are counted per input


def invoke(fn, args, kwargs):
    """(result, exception type, message): the exception itself is not kept."""
    try:
        return fn(*args, **kwargs), None, None
    except BaseException as e:  # noqa: B036 - every escape is checked by the caller
        etype = type(e)
        msg = str(e) if etype is TypeError else None
        return None, etype, msg
    finally:
        PANIC_EXC.__traceback__ = PANIC_EXC.__context__ = None


def require_allowed(etype, what, extra=()):
    if etype is None or etype is PANIC or etype is MemoryError:
        return
    require(issubclass(etype, ALLOWED + extra) and etype is not SystemError,
            "undocumented exception escaped", etype, what)


def probes(values):
    # The list holds references of its own, the same before and after.
    objs = [v for v in values if type(v) not in IMMORTALISH]
    return objs, [sys.getrefcount(v) for v in objs]


def require_refs(before, what):
    objs, counts = before
    now = [sys.getrefcount(v) for v in objs]  # measured exactly as before
    require(now == counts, "argument reference count changed", [type(v) for v in objs], counts, now, what)


def read_payload(obj, n):
    base = object.__basicsize__
    data = ctypes.string_at(id(obj) + base, 4 * n)
    flag = ctypes.c_size_t.from_address(id(obj) + type(obj).__basicsize__ - ctypes.sizeof(ctypes.c_size_t))
    return struct.unpack(f"{n}f", data), flag.value


def check_state(obj, state, what):
    cls = type(obj)
    if cls is K.PyMesh:
        path = obj.mesh_path
        require(type(path) is str and path.encode("utf-8") == state, "mesh_path", path, state, what)
        path, etype, _ = invoke(K.PyMesh.mesh_path.__get__, (obj, K.PyMesh), {})
        require(etype is None and path.encode("utf-8") == state, "mesh_path descriptor", etype, what)
        return
    if cls in (K.Cylinder, K.Cone):
        for meth, want in (("radius", state[0]), ("half_length", state[1])):
            got = getattr(obj, meth)()
            require(same(got, want), f"{cls.__name__}.{meth}()", got, want, what)
            got = getattr(cls, meth)(obj)
            require(same(got, want), f"unbound {cls.__name__}.{meth}", got, want, what)
    got, flag = read_payload(obj, len(state))
    require(all(same(g, w) for g, w in zip(got, state)) and flag == 0,
            "stored payload", got, state, flag, what)


def op_construct(fdp, pool):
    cls = fdp.PickValueInList(CLASSES)
    names = PARAMS[cls]
    if fdp.ConsumeBool():  # every parameter exactly once, some by keyword, in any order
        n_pos = fdp.ConsumeIntInRange(0, len(names))
        pos = [gen_value(fdp) for _ in range(n_pos)]
        rest = list(names[n_pos:])
        if len(rest) == 2 and fdp.ConsumeBool():
            rest.reverse()
        kw = {name: gen_value(fdp) for name in rest}
        n_extra = 0
    else:
        pos = [gen_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, len(names) + 1))]
        kw = {}
        n_extra = fdp.ConsumeIntInRange(0, 3)
    for _ in range(n_extra):
        k = fdp.ConsumeIntInRange(0, 3)
        if k <= 1:
            key = fdp.PickValueInList(list(names))
        elif k == 2:
            key = fdp.PickValueInList(KEY_NAMES)
        else:
            key = str_key(fdp.PickValueInList(KEY_NAMES + list(names)),
                          fdp.PickValueInList(["ok", "user", "base", "nonstr", "panic"]))
        kw[key] = gen_value(fdp)
    via_new = fdp.ConsumeBool()
    what = (cls.__name__, "__new__" if via_new else "call", pos, kw)
    want = expect_call(cls, pos, kw)
    held = pos + list(kw.values())  # alive until the counts are compared
    before = probes(held)
    del UNRAISABLE[:]
    if via_new:
        obj, etype, msg = invoke(cls.__new__, [cls] + pos, kw)
    else:
        obj, etype, msg = invoke(cls, pos, kw)
    n_unraisable = len(UNRAISABLE)
    del UNRAISABLE[:]
    require_allowed(etype, what)
    if etype is MemoryError:
        return
    if type(want) is Err:
        require(obj is None and etype is want.cls, "wrong outcome", etype, want, what)
        if etype is TypeError and want.stage == "bind":
            require(msg.startswith(f"{cls.__name__}.__new__() "), "binding message", msg, what)
        if etype is TypeError and want.stage == "convert":
            require(msg.startswith(f"argument '{want.param}': "), "conversion message", msg, what)
        require(n_unraisable == want.unraisable, "unraisable reports", n_unraisable, want, what)
    else:
        require(etype is None and type(obj) is cls, "wrong outcome", etype, msg, what)
        require(n_unraisable == 0, "unraisable reports", n_unraisable, what)
        state = expected_state(cls, want)
        check_state(obj, state, what)
        pool.append((obj, state))
        obj = None
    require_refs(before, what)


def receiver(fdp, pool):
    if pool and fdp.ConsumeBool():
        return fdp.PickValueInList(pool)[0]
    return gen_value(fdp)


def op_method(fdp, pool):
    cls = fdp.PickValueInList([K.Cylinder, K.Cone])
    meth = fdp.PickValueInList(["radius", "half_length"])
    recv = receiver(fdp, pool)
    k = fdp.ConsumeIntInRange(0, 3)
    fn = getattr(cls, meth)
    if k == 0:  # unbound, any receiver
        args, kwargs = [recv], {}
    elif k == 1:  # unbound without a receiver
        args, kwargs = [], {}
    elif k == 2:  # surplus positional arguments
        args, kwargs = [recv] + gen_items(fdp, 1)[:2] + [None], {}
    else:  # keyword arguments
        args, kwargs = [recv], {fdp.PickValueInList(KEY_NAMES): gen_value(fdp)}
    what = (cls.__name__, meth, type(recv), len(args), list(kwargs))
    held = args + list(kwargs.values())
    before = probes(held)
    got, etype, _ = invoke(fn, args, kwargs)
    require_allowed(etype, what)
    if k == 0 and type(recv) is cls:
        state = next(s for o, s in pool if o is recv) if any(o is recv for o, _ in pool) else None
        require(etype is None and type(got) is float, "method on its own class", etype, what)
        if state is not None:
            want = state[0] if meth == "radius" else state[1]
            require(same(got, want), "method value", got, want, what)
    else:
        require(etype is TypeError, "method must refuse", etype, what)
    got = None
    require_refs(before, what)


def op_getter(fdp, pool):
    recv = receiver(fdp, pool)
    desc = K.PyMesh.mesh_path
    through_descriptor = fdp.ConsumeBool()
    what = ("mesh_path", type(recv), through_descriptor)
    if through_descriptor:
        got, etype, _ = invoke(desc.__get__, (recv,), {})
    else:
        got, etype, _ = invoke(getattr, (recv, "mesh_path"), {})
    require_allowed(etype, what, (AttributeError,))
    if type(recv) is K.PyMesh:
        require(etype is None and type(got) is str, "getter on a mesh", etype, what)
        for o, s in pool:
            if o is recv:
                require(got.encode("utf-8") == s, "getter value", got, s, what)
    else:  # the descriptor refuses a foreign receiver; nothing else has the attribute
        require(etype is (TypeError if through_descriptor else AttributeError), "getter", etype, what)
    got, etype, _ = invoke(desc.__get__, (None, K.PyMesh), {})
    require(got is desc, "class access to the descriptor", etype, what)


def op_mutate(fdp, pool):
    if not pool:
        return
    obj, state = fdp.PickValueInList(pool)
    name = fdp.PickValueInList(["mesh_path", "radius", "half_length", "x", "__class__",
                                "__dict__", "sides", "length"])
    value = gen_value(fdp, 2)
    k = fdp.ConsumeIntInRange(0, 2)
    if k == 0:
        _, etype, _ = invoke(setattr, (obj, name, value), {})
    elif k == 1:
        _, etype, _ = invoke(delattr, (obj, name), {})
    else:
        _, etype, _ = invoke(K.PyMesh.mesh_path.__set__, (obj, value), {})
    what = ("mutate", type(obj).__name__, name, k)
    require(etype in (AttributeError, TypeError), "instances are immutable", etype, what)
    require(type(obj).__name__ in {c.__name__ for c in CLASSES}, "class changed", what)
    check_state(obj, state, what)


def op_no_init(fdp, pool):
    cls = fdp.PickValueInList(CLASSES)
    other = fdp.PickValueInList(CLASSES + [object, int])
    if fdp.ConsumeBool():
        obj, etype, _ = invoke(object.__new__, (cls,), {})
    else:
        obj, etype, _ = invoke(cls.__new__, (other,), {})
    what = ("__new__ without arguments", cls.__name__, other.__name__)
    require(etype is TypeError and obj is None, "uninitialised instance", etype, what)


# ---- hostile callbacks --------------------------------------------------------
# Code that runs at each point where kestrine calls into the interpreter: a
# conversion (__float__, __index__), a length (__len__), an iteration
# (__iter__), a keyword's __str__, a collection that the read's signal
# check runs (gc.callbacks, threshold 1), a signal handler that check runs,
# and the stream a fault report is written to. Each clears, shrinks, grows
# or replaces the input, raises an ordinary exception or an interrupt, or
# calls kestrine again. Nothing can be predicted of the outcome but that the
# process survives, that only documented exceptions escape, and that
# kestrine works as before afterwards.

ACTIONS = ["clear", "shrink", "grow", "replace", "raise", "interrupt", "reenter", "signal", "alarm", "nothing"]


class Hostile:
    """The shared state of one hostile call: its input and what to do next."""

    def __init__(self, fdp, target):
        self.target = target
        self.plan = [fdp.PickValueInList(ACTIONS) for _ in range(fdp.ConsumeIntInRange(1, 8))]
        self.step = 0

    def act(self):
        if not ACTIVE[0] or self.step >= len(self.plan):
            return
        action, self.step = self.plan[self.step], self.step + 1
        target = self.target
        if action == "clear" and hasattr(target, "clear"):
            target.clear()
        elif action == "shrink" and isinstance(target, list):
            del target[len(target) // 2:]
        elif action == "grow" and isinstance(target, list):
            target.extend([1.5, HostileItem(self), 2] * 2000)
        elif action == "replace" and isinstance(target, list) and target:
            target[:] = [HostileItem(self) for _ in target]
        elif action == "raise":
            raise UserError("raised by hostile code")
        elif action == "interrupt":
            raise UserBase("an interrupt from hostile code")
        elif action == "reenter":
            reenter(1.0)
            reenter(HostileItem(self))
        elif action == "signal":  # handled at kestrine's next signal check
            signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)
        elif action == "alarm":  # handled wherever a read has got to by then
            signal.setitimer(signal.ITIMER_REAL, 1e-5 * (1 + self.step))


class HostileItem:
    __slots__ = ("hostile",)

    def __init__(self, hostile):
        self.hostile = hostile

    def __float__(self):
        self.hostile.act()
        return 0.5

    def __index__(self):
        self.hostile.act()
        return 3


class HostileSeq:
    __slots__ = ("items", "hostile")

    def __init__(self, items, hostile):
        self.items, self.hostile = items, hostile

    def __len__(self):
        self.hostile.act()
        return len(self.items)

    def __getitem__(self, i):
        self.hostile.act()
        return self.items[i]


class HostileKey(str):
    def __str__(self):
        HOSTILE[0].act()
        raise UserError("no text")


class HostileStream:
    def write(self, text):
        HOSTILE[0].act()
        return len(text)

    def flush(self):
        HOSTILE[0].act()


HOSTILE = [None]
ACTIVE = [False]  # only while kestrine's call runs: a timer may go off anywhere


def hostile_invoke(call, args, kw):
    # A handler that runs before the flag is down raises inside the outer
    # try; from then on it does nothing.
    try:
        try:
            ACTIVE[0] = True
            return call(*args, **kw), None
        finally:
            ACTIVE[0] = False
    except BaseException as e:  # noqa: B036 - every escape is checked by the caller
        return None, type(e)


def hostile_hooks(hostile):
    def collected(phase, info):
        if phase == "start":
            hostile.act()

    def handler(signum, frame):
        hostile.act()

    # The handler is in place before anything can send the signal, and the
    # collection's callback is gone before the handler is.
    HOSTILE[0] = hostile
    previous = signal.signal(signal.SIGUSR1, handler)
    previous_alarm = signal.signal(signal.SIGALRM, handler)
    stream, sys.stderr = sys.stderr, HostileStream()
    threshold = gc.get_threshold()
    gc.callbacks.append(collected)
    gc.set_threshold(1)

    def restore():
        gc.callbacks.remove(collected)
        gc.set_threshold(*threshold)
        sys.stderr = stream
        HOSTILE[0] = None
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous_alarm)
        signal.signal(signal.SIGUSR1, previous)
    return restore


def op_hostile(fdp, pool):
    items = [1.0] * fdp.PickValueInList([fdp.ConsumeIntInRange(0, 8), fdp.ConsumeIntInRange(4090, 50_000)])
    hostile = Hostile(fdp, items)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        if items:
            items[fdp.ConsumeIntInRange(0, len(items) - 1)] = HostileItem(hostile)
    shape = fdp.ConsumeIntInRange(0, 5)
    if shape == 0:
        call, args, kw = K.Cuboid, (items,), {}
    elif shape == 1:
        call, args, kw = K.Cuboid, (HostileSeq(items, hostile),), {}
    elif shape == 2:
        call, args, kw = K.Cuboid, (tuple(items),), {}
    elif shape == 3:
        kw = {"radius": HostileItem(hostile), "length": HostileItem(hostile)}
        hostile.target = kw
        call, args = K.Cylinder.__new__, (K.Cylinder,)
    elif shape == 4:
        kw = {HostileKey("nope"): 1.0, "radius": HostileItem(hostile)}
        hostile.target = kw
        call, args = K.Sphere.__new__, (K.Sphere,)
    else:
        call, args, kw = K.Cuboid, (items[:2],), {}  # a fault, reported to the hostile stream
    restore = hostile_hooks(hostile)
    try:
        got, etype = hostile_invoke(call, args, kw)
    finally:
        restore()
        PANIC_EXC.__traceback__ = PANIC_EXC.__context__ = None
        del UNRAISABLE[:]  # what a collection's callback raised: its traceback holds this frame
    what = ("hostile", shape, hostile.plan)
    require_allowed(etype, what, (UserBase,))
    require(etype is not None or type(got) in CLASSES, "hostile outcome", type(got), what)
    got = None
    check_state(K.Cylinder(1.0, 3.0), (1.0, 1.5), what)  # kestrine works as before


OPS = [op_construct, op_construct, op_construct, op_method, op_getter, op_mutate, op_no_init, op_hostile]
CLASS_REFS = [sys.getrefcount(c) for c in CLASSES]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    pool = []
    mute()
    try:
        for _ in range(fdp.ConsumeIntInRange(1, 6)):
            fdp.PickValueInList(OPS)(fdp, pool)
        for entry in pool:  # nothing overwrote what was stored
            check_state(*entry, "final read-back")
        entry = None
        pool.clear()
        refs = [sys.getrefcount(c) for c in CLASSES]
        if refs != CLASS_REFS:
            gc.collect()
            refs = [sys.getrefcount(c) for c in CLASSES]
        require(refs == CLASS_REFS, "class reference counts", refs, CLASS_REFS)
    finally:
        unmute()


def _instrument():
    for name, obj in list(globals().items()):
        if isinstance(obj, type(_instrument)) and obj.__module__ == __name__ and name != "_instrument":
            globals()[name] = atheris.instrument_func(obj)


if __name__ == "__main__":
    _instrument()
    atheris.Setup(sys.argv, TestOneInput, internal_libfuzzer=True)
    atheris.Fuzz()
