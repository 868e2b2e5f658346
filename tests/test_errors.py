"""Errors, internal faults, PanicException and the call boundaries around them."""
import concurrent.futures
import contextlib
import functools
import io
import multiprocessing
import pathlib
import pickle
import re
import struct
import subprocess
import sys

import pytest

import kestrine
import kestrine_testing as kt


def caught(call, *args):
    with pytest.raises(BaseException) as info:
        call(*args)
    return info.value


@functools.cache
def panic_type():
    return type(caught(kt.raise_fault, "static"))


def run(code):
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def test_panic_exception_type():
    P = panic_type()
    assert issubclass(P, BaseException) and not issubclass(P, Exception)
    assert (P.__module__, P.__name__) == ("kestrine_runtime", "PanicException")
    with pytest.raises(P):
        try:
            kt.raise_fault("static")
        except Exception:
            pytest.fail("except Exception caught a PanicException")
    assert P.__doc__[0] == P.__doc__[-1] == "\n" and len(P.__doc__.strip("\n").split("\n\n")) == 2
    assert type(caught(kt.raise_fault, "owned")) is P
    assert type(caught(kestrine.Cuboid, [])) is type(caught(kestrine.Cuboid, [1.0]))


def two_sided_cuboid():
    return kestrine.Cuboid([1.0, 2.0])


# A process pool sends a job's exception back pickled, by its class's module
# and name: kestrine_runtime resolves in every process that imported kestrine.
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_fault_crosses_a_process_pool(method):
    panic = type(caught(kestrine.Cuboid, []))
    assert sys.modules["kestrine_runtime"].PanicException is panic
    assert type(pickle.loads(pickle.dumps(caught(kestrine.Cuboid, [])))) is panic
    pool = concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(method))
    with pool:
        fault = caught(pool.submit(two_sided_cuboid).result, 120)
    assert type(fault) is panic and fault.args == ("index out of bounds: the len is 2 but the index is 2",)
    assert "in two_sided_cuboid" in str(fault.__cause__)  # the worker's traceback


def test_panic_exception_is_created_once():
    # The helper module carries its own copy of the runtime, hence its own
    # class; within kestrine every fault shares one.
    first = type(caught(kestrine.Cuboid, []))
    assert type(caught(kestrine.Cuboid, [1.0])) is first
    assert (first.__module__, first.__name__) == (panic_type().__module__, panic_type().__name__)


@pytest.mark.parametrize("kind, args", [("owned", ("owned fault 42",)), ("static", ("static fault",)),
                                        ("opaque", ("panic in native code",)), ("bad_alloc", None)])
def test_fault_payload_becomes_exception(kind, args):
    e = caught(kt.raise_fault, kind)
    assert (type(e), e.args) == ((panic_type(), args) if args else (MemoryError, ()))


# A stream that raises from write() or flush(); what the call then raises,
# and what that carries as its context.
BROKEN = ("class Broken:\n    def __init__(self, kind, method): self.kind, self.method = kind, method\n"
          "    def write(self, s):\n        if self.method == 'write': raise self.kind\n"
          "    def flush(self):\n        if self.method == 'flush': raise self.kind\n"
          "def shown(call):\n    try: call()\n    except BaseException as e: print(type(e).__name__, type(e.__context__).__name__)\n"
          "    sys.stderr = sys.__stderr__\n"
          "try: kestrine.Cuboid([])\nexcept BaseException as e: first = e\n"
          "class Hook:\n    def __float__(self): raise first\n")
REPORT = r"thread 'main' panicked at src/shape/py_cuboid\.cpp:\d+:\d+:\nindex out of bounds: the len is 1"


# A fed-back fault raised from an exception whose metaclass's
# __getattribute__ (called without the class) makes it let go of its class,
# which a collection then frees, while its type's module is looked up.
LETS_GO = """import gc, weakref
state = {}
class Hook:
    def __call__(self, name):
        if name == "__module__" and state.pop("armed", False):
            state["exc"].__class__ = Plain
            del globals()["E"]
            gc.collect()
            state["freed"] = self.ref() is None
            return "m"
        return type.__getattribute__(self.ref(), name)
class Meta(type):
    __getattribute__ = Hook()
class E(Exception, metaclass=Meta): pass
class Plain(Exception): pass
Meta.__getattribute__.ref = weakref.ref(E)
class Bad:
    def __float__(self):
        state["exc"] = e = E(); state["armed"] = True
        raise sys.modules["kestrine_runtime"].PanicException("boom") from e
try: kestrine.Sphere(Bad())
except BaseException as x: print(type(x).__name__, state["freed"])
"""


@pytest.mark.parametrize("code, stdout, stderr", [
    (BROKEN + "sys.stderr = Broken(KeyboardInterrupt, 'write')\nshown(lambda: kestrine.Cuboid([1.0]))",
     "KeyboardInterrupt PanicException\n", [REPORT]),
    (BROKEN + "for kind in ('static', 'opaque', 'python_api'):\n    sys.stderr = Broken(KeyboardInterrupt, 'write')\n"
     "    shown(lambda: kt.raise_fault(kind))", "KeyboardInterrupt PanicException\n" * 3, []),
    (BROKEN + "sys.stderr = Broken(SystemExit(3), 'flush')\nshown(lambda: kestrine.Cuboid([1.0]))",
     "SystemExit PanicException\n", []),
    (BROKEN + "sys.stderr = Broken(KeyboardInterrupt, 'write')\nshown(lambda: kestrine.Sphere(Hook()))",
     "KeyboardInterrupt PanicException\n", ["Python stack trace below:"]),
    (BROKEN + "sys.stderr = Broken(OSError, 'write')\nshown(lambda: kestrine.Cuboid([1.0]))",
     "PanicException NoneType\n", [REPORT]),
    (LETS_GO, "PanicException False\n", ["Python stack trace below:"]),
    # A signal handler's exception is the caller's, as in Python; the stream gave up nothing.
    (BROKEN + "import signal\nsignal.signal(signal.SIGUSR1, lambda *a: 1 / 0)\n"
     "sys.stderr = type('Alarm', (), {'write': lambda s, t: signal.raise_signal(signal.SIGUSR1)})()\n"
     "shown(lambda: kestrine.Cuboid([1.0]))", "ZeroDivisionError PanicException\n", [REPORT]),
    # The resumed fault's traceback never reaches sys.excepthook, in any thread.
    (BROKEN + "sys.excepthook = lambda *a: sys.exit(3)\nshown(lambda: kestrine.Sphere(Hook()))\n"
     "threading.Thread(target=shown, args=(lambda: kestrine.Sphere(Hook()),)).start()",
     "PanicException NoneType\n" * 2, [r"Python stack trace below:\nTraceback[\s\S]*PanicException"]),
    (BROKEN + "def ki(self): raise KeyboardInterrupt\nfirst.args = (type('Ki', (), {'__str__': ki})(),)\n"
     "shown(lambda: kestrine.Sphere(Hook()))", "KeyboardInterrupt PanicException\n", ["Python stack trace below:"]),
    ("try: kt.raise_fault('python_api')\nexcept BaseException as e: print(type(e).__name__, e.args)",
     "PanicException ('Python API call failed',)\n", ["ValueError: inner"]),
    ("try: kestrine.Cuboid([1.0, 2.0])\nexcept BaseException as e: print(type(e).__name__)\nprint('alive')",
     "PanicException\nalive\n", ["thread 'main'", r"src/shape/py_cuboid\.cpp:\d+:\d+",
                                   "index out of bounds: the len is 2 but the index is 2"]),
    ("try: kt.class_object('NulDoc', True)\nexcept BaseException as e: print(type(e).__name__, e.args)",
     "PanicException ('failed to create type object for NulDoc',)\n",
     ["RuntimeError: An error occurred while initializing class NulDoc"]),
    ("def origin(): raise ValueError('boom')\ntry: origin()\nexcept ValueError as e: exc = e\n"
     "print(kt.print_error(exc) is exc)",
     "True\n", [r"(Traceback[\s\S]*in origin[\s\S]*ValueError: boom[\s\S]*){2}"]),
    ("sys.stderr = None\ntry: kestrine.Cuboid([1.0])\nexcept BaseException as e: print(type(e).__name__)",
     "PanicException\n", [r"thread 'main' panicked at src/shape/py_cuboid\.cpp:\d+:\d+:\nindex out of bounds"])])
def test_stderr_reports(code, stdout, stderr):
    r = run("import kestrine, kestrine_testing as kt, sys, threading\n" + code)
    assert r.stdout == stdout and all(re.search(pattern, r.stderr) for pattern in stderr)


# Other threads go by the system's name for them and its id; the interpreter
# names none (before 3.14), so ctypes does.
NAME_THIS_THREAD = {"linux": "ctypes.CDLL(None).prctl(15, {!r}, 0, 0, 0)",
                    "darwin": "ctypes.CDLL(None).pthread_setname_np({!r})"}


@pytest.mark.parametrize("name, shown", [(b"kw-worker", "kw-worker"), (b"", "<unnamed>")])
def test_fault_report_names_other_threads(name, shown):
    r = run("import ctypes, kestrine, threading\ndef work():\n"
            f"    {NAME_THIS_THREAD[sys.platform].format(name)}\n    print(threading.get_native_id())\n"
            "    try: kestrine.Cuboid([])\n    except BaseException: pass\n"
            "t = threading.Thread(target=work)\nt.start(); t.join()")
    assert f"\nthread '{shown} ({r.stdout.strip()})' panicked at" in r.stderr


# Each fault names the line that raised it, never one of the fault machinery.
@pytest.mark.parametrize("code, unit, sites", [
    ("for s in ([], [1.0], [1.0, 2.0]):\n    try: kestrine.Cuboid(s)\n    except BaseException: pass",
     "src/shape/py_cuboid.cpp", [f"checked_at(sides, {n})" for n in range(3)]),
    ("for kind in ('owned', 'static', 'opaque'):\n    try: kt.raise_fault(kind)\n    except BaseException: pass",
     "tests/helper/kestrine_testing.cpp", ['panic("owned fault "', 'panic_static("static fault")', "panic_opaque("]),
], ids=["short-cuboid", "helper-faults"])
def test_each_fault_reports_its_own_site(code, unit, sites):
    r = run("import kestrine, kestrine_testing as kt\n" + code)
    found = re.findall(r"panicked at ([\w/.]+):(\d+):(\d+):", r.stderr)
    source = (pathlib.Path(__file__).parents[1] / unit).read_text().splitlines()
    assert [(file, site in source[int(line) - 1], int(col) <= len(source[int(line) - 1]))
            for (file, line, col), site in zip(found, sites)] == [(unit, True, True)] * len(sites)
    assert len(found) == len(sites)


@pytest.mark.parametrize("kind, message", [
    (0, "owned fault in dealloc"), (1, "static fault in dealloc"), (2, "panic in native code"), (3, None)])
def test_dealloc_fault_goes_to_unraisablehook(unraisable, kind, message):
    obj = kt.FaultyDealloc(kind)
    del obj
    assert [(type(u.exc_value), u.exc_value.args, u.object) for u in unraisable] == (
        [(panic_type(), (message,), None)] if message else [])


def test_dealloc_fault_frees_instance(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append(type(report.exc_value)))
    # The fault reports go to a sink that keeps nothing, unlike a capture.
    monkeypatch.setattr(sys, "stderr", type("Sink", (), {"write": len, "flush": lambda self: None})())
    for k in range(1000):  # the interpreter's caches fill on the first thousand or so
        kt.FaultyDealloc(k % 3)
    refs, grown = sys.getrefcount(kt.FaultyDealloc), []
    for _ in range(3):  # a leak grows every round; a cache that fills late, one at most
        blocks = sys.getallocatedblocks()
        for i in range(1000):
            kt.FaultyDealloc(i % 3)
        grown.append(sys.getallocatedblocks() - blocks)
    refs_after = sys.getrefcount(kt.FaultyDealloc)
    assert seen == [panic_type()] * 4000 and min(grown) < 100 and refs_after == refs, grown


def test_failed_class_creation_can_be_retried():
    for _ in range(2):
        e = caught(kt.class_object, "NulDoc")
        assert (type(e), e.args) == (RuntimeError, ("An error occurred while initializing class NulDoc",))
        assert (type(e.__cause__), e.__cause__.args) == (ValueError, ("class doc cannot contain nul bytes",))


CONV = "object cannot be converted to"


def make_local():
    class C:
        pass
    return C()


@pytest.mark.parametrize("call, raised, message", [
    (lambda: kt.lazy_error(int, "x"), TypeError, "exceptions must derive from BaseException"),
    (lambda: kt.lazy_error(KeyError, "x"), KeyError, "x"),
    (lambda: kt.downcast_error(make_local(), "T"), TypeError, f"'make_local.<locals>.C' {CONV} 'T'"),
    (lambda: kt.downcast_error(kestrine.Sphere(1.0), "T"), TypeError, f"'Sphere' {CONV} 'T'"),
    (lambda: kt.receiver(5), TypeError, f"'int' {CONV} 'Cell'")])
def test_error_values(call, raised, message):
    e = caught(call)
    assert (type(e), e.args) == (raised, (message,))


SHORT = "index out of bounds: the len is 1 but the index is 1"
RESUME = """import kestrine, kestrine_testing as kt
def origin(): {}
try: origin()
except BaseException as e: p = e
class Odd:
    def __len__(self): raise p
    def __getitem__(self, i): raise IndexError
    def __float__(self): raise p
{}
try: {}
except BaseException as e: print(type(e) is type(p), e is not p, e.args)
"""


@pytest.mark.parametrize("origin, setup, call, message", [
    ("kt.raise_fault('static')", "", "kt.resume(p)", "static fault"),
    ("kt.raise_fault('static')", "p.args = (type('Bad', (), {'__str__': lambda s: 1 / 0})(),)",
     "kt.resume(p)", "Unwrapped panic from Python code"),
    ("kestrine.Cuboid([1.0])", "", "kestrine.Cuboid(Odd())", SHORT),
    ("kestrine.Cuboid([1.0])", "", "kestrine.Sphere(Odd())", SHORT)])
def test_resumed_panic_exception(origin, setup, call, message):
    r = run(RESUME.format(origin, setup, call))
    assert r.stdout == f"True True ({message!r},)\n"
    lines = r.stderr.splitlines()
    banner = [i for i, line in enumerate(lines) if line.startswith("---") and line.endswith("---")]
    assert len(banner) == 1 and r.stderr.count("thread '") == 1  # resuming writes no new report
    tail = lines[banner[0] + 1:]
    assert tail[:2] == ["Python stack trace below:", "Traceback (most recent call last):"]
    assert any("in origin" in t for t in tail)


def test_fault_output_follows_sys_stderr():
    first, out = caught(kestrine.Cuboid, [1.0]), io.StringIO()
    hook = type("Hook", (), {"__float__": lambda self: (_ for _ in ()).throw(first)})
    with contextlib.redirect_stderr(out):
        caught(kestrine.Cuboid, [])
        caught(kestrine.Sphere, hook())
    assert re.fullmatch(r"\nthread 'main' panicked at src/shape/py_cuboid\.cpp:\d+:\d+:\n"
                        r"index out of bounds: the len is 0 but the index is 0\n"
                        r"--- [^\n]* ---\nPython stack trace below:\nTraceback[\s\S]*", out.getvalue())


def test_resume_of_subclass_is_plain_value():
    sub = type("Sub", (panic_type(),), {})("x")
    assert kt.resume(sub) is sub


@pytest.mark.parametrize("extra", [(), (object(),)])
def test_write_unraisable(unraisable, extra):
    assert kt.write_unraisable(KeyError("k"), *extra) is None
    [u] = unraisable
    assert (type(u.exc_value), u.exc_value.args) == (ValueError, ("'k'",))
    assert u.object is (extra[0] if extra else None)


def test_with_cause():
    cause = ValueError("c")
    e = kt.with_cause("outer", cause)
    assert (type(e), e.args, e.__cause__, e.__suppress_context__) == (RuntimeError, ("outer",), cause, True)
    assert kt.with_cause("outer").__cause__ is None


EXCLUSIVE = 2 ** (8 * struct.calcsize("P")) - 1


@pytest.mark.parametrize("read", [lambda c: c.value(), lambda c: c.prop, kt.receiver])
def test_borrow_flag_guards_receiver(read):
    c = kt.Cell(2.5)
    assert read(c) == 2.5 and kt.borrow_flag(c) == 0
    assert kt.borrow_flag(c, 5) == 5 and read(c) == 2.5 and kt.borrow_flag(c) == 5
    kt.borrow_flag(c, EXCLUSIVE)
    e = caught(read, c)
    assert (type(e), e.args, kt.borrow_flag(c)) == (RuntimeError, ("Already mutably borrowed",), EXCLUSIVE)
    kt.borrow_flag(c, 0)


# The helper's own counter: kestrine's calls go through kestrine's copy.
@pytest.mark.parametrize("call", [
    lambda: kt.raise_fault("owned"), lambda: kt.raise_fault("bad_alloc"),
    lambda: kt.lazy_error(int, "x"), lambda: kt.downcast_error(1, "T"), lambda: kt.receiver(5),
    lambda: kt.class_object("NulDoc"), lambda: kt.with_cause("o", ValueError()),
    lambda: kt.FaultyDealloc(0), lambda: kt.FaultyDealloc(3), lambda: kt.Cell(1.0).value()])
def test_hold_count_restored(unraisable, call):
    assert kt.hold_count() == 0
    with contextlib.suppress(BaseException):
        call()
    assert kt.hold_count() == 0
