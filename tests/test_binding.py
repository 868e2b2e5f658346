import signal
import sys

import pytest
from hypothesis import given, settings, strategies as st

import kestrine
import kestrine_testing as kt
from conftest import rounds

R3 = "\ufffd" * 3  # one lone surrogate, shown leniently
AB, ABC, PO = (["a", "b"], 0, 2, []), (["a", "b", "c"], 0, 3, []), (["a", "b", "c"], 1, 3, [])
KW = (["a"], 0, 1, [("k", True), ("m", False), ("n", True)])
UNEXPECTED, MULTI = "got an unexpected keyword argument", "got multiple values for argument"
POSONLY = "got some positional-only arguments passed as keyword arguments:"

def bind_error(desc, args, kwargs, cls="C"):
    with pytest.raises(TypeError) as info:
        kt.bind(*desc, args, kwargs, cls)
    assert type(info.value) is TypeError and len(info.value.args) == 1
    return info.value.args[0]

@pytest.mark.parametrize("desc, args, kwargs, msg", [
    (AB, (1, 2, 3), None, "takes 2 positional arguments but 3 were given"),
    ((["a"], 0, 1, []), (1, 2), None, "takes 1 positional arguments but 2 were given"),
    (([], 0, 0, []), (1,), None, "takes 0 positional arguments but 1 was given"),
    ((["a", "b", "c"], 0, 1, []), (1, 2, 3, 4), None, "takes from 1 to 3 positional arguments but 4 were given"),
    ((["a", "b"], 0, 0, []), (1, 2, 3), None, "takes from 0 to 2 positional arguments but 3 were given"),
    ((["a"], 0, 1, []), (1, 2), {"zz": 1, "a": 2}, "takes 1 positional arguments but 2 were given"),
    (AB, (), {"b": 1, "x": 2, "y": 3}, f"{UNEXPECTED} 'x'"),
    (AB, (), {"A": 1, "b": 2}, f"{UNEXPECTED} 'A'"),
    (AB, (), {"zz": 1}, f"{UNEXPECTED} 'zz'"),
    (([], 0, 0, [("k", True)]), (), {"a": 1}, f"{UNEXPECTED} 'a'"),
    (AB, (), {"\ud800": 1}, f"{UNEXPECTED} '{R3}'"),
    (AB, (), {"a\udc80\udc81": 1}, f"{UNEXPECTED} 'a{R3 * 2}'"),
    (AB, (1,), {"a": 2}, f"{MULTI} 'a'"),
    (ABC, (1, 2), {"c": 3, "b": 4}, f"{MULTI} 'b'"),
    ((["a", "b", "c"], 2, 3, []), (), {"b": 1, "a": 2, "c": 3}, f"{POSONLY} 'b' and 'a'"),
    ((["a", "b"], 1, 2, []), (1,), {"a": 2}, f"{POSONLY} 'a'"),
    (PO, (), {"a": 1, "zz": 2}, f"{UNEXPECTED} 'zz'"),
    (PO, (1, 2), {"a": 1, "b": 2}, f"{MULTI} 'b'"),
    (ABC, (), {"b": 1}, "missing 2 required positional arguments: 'a' and 'c'"),
    (KW, (), None, "missing 1 required positional argument: 'a'"),
    (KW, (1,), {"m": 0}, "missing 2 required keyword arguments: 'k' and 'n'"),
    (KW, (1,), {"n": 0}, "missing 1 required keyword argument: 'k'")])
def test_binder_messages(desc, args, kwargs, msg):
    assert bind_error(desc, args, kwargs) == "C.f() " + msg
    if kwargs is None:  # an empty dict is the same as none
        assert bind_error(desc, args, {}) == "C.f() " + msg

@pytest.mark.parametrize("cls, fn, shown", [(None, "f", "f()"), ("K", "g", "K.g()"), ("C", "__new__", "C.__new__()")])
def test_display_name(cls, fn, shown):
    with pytest.raises(TypeError) as info:
        kt.bind(["a"], 0, 1, [], (), None, cls, fn)
    assert info.value.args[0] == shown + " missing 1 required positional argument: 'a'"

@pytest.mark.parametrize("n, listed", [(1, "'a'"), (2, "'a' and 'b'"), (3, "'a', 'b', and 'c'"),
                                       (4, "'a', 'b', 'c', and 'd'"), (5, "'a', 'b', 'c', 'd', and 'e'")])
def test_parameter_lists(n, listed):
    names, noun = list("abcde"[:n]), "argument" if n == 1 else "arguments"
    assert bind_error((names, 0, n, []), (), None) == f"C.f() missing {n} required positional {noun}: {listed}"
    kwonly = [(x, True) for x in names]
    assert bind_error(([], 0, 0, kwonly), (), {}) == f"C.f() missing {n} required keyword {noun}: {listed}"
    assert bind_error((names, n, n, []), (), dict.fromkeys(names, 0)) == f"C.f() {POSONLY} {listed}"

def quoted(ms):
    head = ", ".join(f"'{m}'" for m in ms[:-1]) + ("," if len(ms) > 2 else "")
    return f"{head} and '{ms[-1]}'" if len(ms) > 1 else f"'{ms[0]}'"

def model(names, po, req, kwonly, args, kwargs, cls):
    """Reference binding: the bound slots, or the refusal text."""
    disp, npos, kwnames, posonly = (f"{cls}.f()" if cls else "f()"), len(names), [k for k, _ in kwonly], []
    slots = [None] * (npos + len(kwonly))
    slots[:min(len(args), npos)] = args[:npos]
    if len(args) > npos:
        rng = f"{npos}" if req == npos else f"from {req} to {npos}"
        return f"{disp} takes {rng} positional arguments but {len(args)} {'was' if len(args) == 1 else 'were'} given"
    for key, value in kwargs.items():
        j = npos + kwnames.index(key) if key in kwnames else names.index(key) if key in names else None
        if j is None:
            return f"{disp} {UNEXPECTED} '{key}'"
        if j < po:
            posonly.append(key)
            continue
        if slots[j] is not None:
            return f"{disp} {MULTI} '{key}'"
        slots[j] = value
    if posonly:
        return f"{disp} {POSONLY} {quoted(posonly)}"
    for kind, ms in (("positional", [names[i] for i in range(req) if slots[i] is None]),
                     ("keyword", [k for i, (k, r) in enumerate(kwonly) if r and slots[npos + i] is None])):
        if ms:
            return f"{disp} missing {len(ms)} required {kind} argument{'s' * (len(ms) > 1)}: {quoted(ms)}"
    return slots

@st.composite
def calls(draw):
    pool, n = draw(st.permutations("abcde")), draw(st.integers(0, 4))
    nk = draw(st.integers(0, min(3, 5 - n)))
    names, kwonly = list(pool[:n]), [(k, draw(st.booleans())) for k in pool[n:n + nk]]
    args = tuple(f"p{i}" for i in range(draw(st.integers(0, 5))))
    keys = draw(st.lists(st.sampled_from("abcdefA"), unique=True, max_size=5))
    kwargs = draw(st.sampled_from([None, {k: "k" + k for k in keys}]))
    po, req, cls = draw(st.integers(0, n)), draw(st.integers(0, n)), draw(st.sampled_from([None, "C"]))
    return names, po, req, kwonly, args, kwargs, cls

@settings(max_examples=rounds(3000), deadline=None)
@given(calls())
def test_binder_matches_model(call):
    try:
        got = kt.bind(*call)
    except TypeError as e:
        assert type(e) is TypeError
        got = e.args[0]
    assert got == model(*call[:5], call[5] or {}, call[6])

def boom(self):
    raise ValueError("boom")

Raises, NotText = type("Raises", (), {"__str__": boom}), type("NotText", (), {"__str__": lambda s: 3})
Surrogate = type("Surrogate", (), {"__str__": lambda s: "x\udfffy"})
Unprintable = type("Unprintable", (str,), {"__str__": boom})
Unprintable.__name__ = Unprintable("Unprintable")  # the fallback's own text fails too
Loud = type("Loud", (str,), {"__str__": lambda s: (_ for _ in ()).throw(KeyboardInterrupt)})
class Signalled(Exception): pass
def signal_handler_raises(*args):
    raise Signalled
Alarmed = type("Alarmed", (str,), {"__str__": lambda s: signal.raise_signal(signal.SIGUSR1)})

@pytest.mark.parametrize("obj, text, reported", [
    (42, "42", []), ("h\u00e9llo", "h\u00e9llo", []), ("a\ud800\udc00", "a" + R3 * 2, []),
    (Surrogate(), f"x{R3}y", []), (Raises(), "<unprintable Raises object>", [ValueError]),
    (NotText(), "<unprintable NotText object>", [TypeError]),
    (Unprintable("x"), "<unprintable object>", [ValueError, ValueError])])
def test_display_text(monkeypatch, obj, text, reported):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    assert kt.display(obj) == text
    assert [type(u.exc_value) for u in seen] == reported
    assert [u.object for u in seen] == [obj, Unprintable.__name__][:len(reported)]

class Sides:
    def __init__(self, exc):
        self.exc = exc
    def __len__(self):
        raise self.exc
    def __getitem__(self, i):
        if i < 3:
            return 2.0
        raise IndexError

AlarmedLen = type("AlarmedLen", (Sides,), {"__len__": lambda s: signal.raise_signal(signal.SIGUSR1)})

def float_raising(exc):
    return type("F", (), {"__float__": lambda s: (_ for _ in ()).throw(exc)})()

# An interrupt where a failure is otherwise papered over (a length hint, an
# unprintable text) still reaches the caller, and nothing is reported.
@pytest.mark.parametrize("call, exc", [
    (lambda: kt.display(Loud("x")), KeyboardInterrupt),
    (lambda: kt.relabel(TypeError(Loud("x")), "x"), KeyboardInterrupt),
    (lambda: kestrine.Sphere(**{Loud("x"): 1}), KeyboardInterrupt),
    (lambda: kestrine.Sphere(**{Alarmed("x"): 1}), Signalled),  # a signal handler's exception, as in Python
    (lambda: kestrine.Cuboid(AlarmedLen(None)), Signalled),
    (lambda: kestrine.Sphere(float_raising(TypeError(Loud("x")))), KeyboardInterrupt),
    (lambda: kestrine.Cuboid(Sides(KeyboardInterrupt())), KeyboardInterrupt),
    (lambda: kestrine.Cuboid(Sides(SystemExit(3))), SystemExit),
    (lambda: kestrine.Sphere(**{Unprintable("x"): 1}), TypeError),
    (lambda: kestrine.Cuboid(Sides(ValueError())).__class__, None)])
def test_interrupts_are_not_swallowed(monkeypatch, call, exc):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    previous = signal.signal(signal.SIGUSR1, signal_handler_raises)
    try:
        check_not_swallowed(call, exc, seen)
    finally:
        signal.signal(signal.SIGUSR1, previous)

def check_not_swallowed(call, exc, seen):
    if exc is None:
        assert call() is kestrine.Cuboid and seen == []
        return
    with pytest.raises(exc) as info:
        call()
    if exc is TypeError:  # an ordinary failure: placeholder text, reported twice
        assert info.value.args == ("Sphere.__new__() got an unexpected keyword argument '<unprintable object>'",)
        assert len(seen) == 2
    else:
        assert seen == []

@pytest.mark.parametrize("cause", [None, KeyError("k")])
@pytest.mark.parametrize("inner_args, shown", [(("bad",), "bad"), (("a", 1), "('a', 1)"), (("\ud800",), R3)])
def test_relabel_type_error(cause, inner_args, shown):
    inner, refs = TypeError(*inner_args), sys.getrefcount(cause)
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        kt.relabel(inner, "x")
    e = info.value
    assert type(e) is TypeError and e.args == (f"argument 'x': {shown}",)
    assert e.__cause__ is cause and e.__suppress_context__ is True and e.__context__ is not inner
    del e, info, inner
    assert sys.getrefcount(cause) == refs

@pytest.mark.parametrize("exc", [type("SubTypeError", (TypeError,), {})("s"), ValueError("v"), OverflowError("o"),
                                 UnicodeEncodeError("utf-8", "\ud800", 0, 1, "surrogates not allowed")])
def test_relabel_passes_other_errors(exc):
    with pytest.raises(BaseException) as info:
        kt.relabel(exc, "x")
    assert info.value is exc

@pytest.mark.parametrize("call, exc, msg", [
    (lambda: kt.extract_named(5, "path", "text"), TypeError, "argument 'path': 'int' object cannot"),
    (lambda: kt.extract_named("\ud800", "path", "text"), UnicodeEncodeError, "'utf-8' codec can't encode"),
    (lambda: kestrine.Sphere("x"), TypeError, "argument 'radius': must be real number, not str"),
    (lambda: kestrine.Sphere(10**400), OverflowError, "int too large to convert to float"),
    (lambda: kestrine.Cuboid(5), TypeError, "argument 'sides': 'int' object cannot be converted to 'Sequence'")])
def test_conversion_errors(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value).startswith(msg)

VALID_KEYWORDS = {"Sphere": {"radius": 1.0}, "Cuboid": {"sides": [1.0] * 3}, "PyMesh": {"path": "m.obj"}} | \
    dict.fromkeys(["Capsule", "Cone", "Cylinder"], {"radius": 1.0, "length": 2.0})

@pytest.mark.parametrize("cls, args, kwargs, msg", [
    ("Sphere", (), {}, "missing 1 required positional argument: 'radius'"),
    ("Cone", (), {}, "missing 2 required positional arguments: 'radius' and 'length'"),
    ("Cone", (), {"length": 2.0}, "missing 1 required positional argument: 'radius'"),
    ("Sphere", (1.0, 2.0), {"radius": 3.0}, "takes 1 positional arguments but 2 were given"),
    ("Cylinder", (1.0, 2.0, 3.0), {}, "takes 2 positional arguments but 3 were given"),
    ("Sphere", (), {"b": 1, "a": 2}, f"{UNEXPECTED} 'b'"),
    ("Sphere", (), {"Radius": 1.0}, f"{UNEXPECTED} 'Radius'"),
    ("Sphere", (), {"rad": 3.0}, f"{UNEXPECTED} 'rad'"),
    ("Cone", (1.0,), {"len": 2.0}, f"{UNEXPECTED} 'len'"),
    ("Capsule", (1.0,), {"radius": 2.0}, f"{MULTI} 'radius'"),
    ("Cone", (), {"colour": 3}, f"{UNEXPECTED} 'colour'"),
    ("Cone", (1.0, 2.0), {"colour": 3}, f"{UNEXPECTED} 'colour'"),
    ("PyMesh", (), {"paths": "m.obj"}, f"{UNEXPECTED} 'paths'"),
    ("Cuboid", ([1.0] * 3,), {"sides": 1}, f"{MULTI} 'sides'")])
def test_constructor_binding_errors(cls, args, kwargs, msg):
    cls = getattr(kestrine, cls)
    cls(**VALID_KEYWORDS[cls.__name__])  # the fast keyword path now knows the class's names
    for make in (lambda: cls(*args, **kwargs), lambda: cls.__new__(cls, *args, **kwargs)):
        with pytest.raises(TypeError) as info:
            make()
        assert type(info.value) is TypeError and info.value.args == (f"{cls.__name__}.__new__() {msg}",)

@pytest.mark.parametrize("make", [lambda: kestrine.Cone(1.0, 2.0), lambda: kestrine.Cone(1.0, length=2.0),
                                  lambda: kestrine.Cone(length=2.0, radius=1.0),
                                  lambda: kestrine.Cone.__new__(kestrine.Cone, length=2.0, radius=1.0)])
def test_constructor_keywords_bind(make):
    cone = make()
    assert (cone.radius(), cone.half_length()) == (1.0, 1.0)
    assert kestrine.PyMesh(path="m.obj").mesh_path == kestrine.PyMesh("m.obj", **{}).mesh_path == "m.obj"
