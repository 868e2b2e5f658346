"""The kestrine module object, class registration, and the class objects themselves."""
import copy, gc, os, pathlib, pickle, shutil, subprocess, sys, types, weakref
from unittest import mock

import pytest

import kestrine
import kestrine_testing as kt
from conftest import EMULATED

NAMES = list(kestrine.__all__)
REGISTERED = ["Cell", "NoSignature"]  # what each kestrine_testing record registers
RL = ((1.0, 2.0), "(radius, length)", {8: 32, 4: 20})  # instance sizes by pointer size
CLASSES = {"Capsule": RL, "Cone": RL, "Cuboid": (([1.0, 2.0, 3.0],), "(sides)", {8: 40, 4: 24}), "Cylinder": RL,
           "Sphere": ((1.0,), "(radius)", {8: 32, 4: 16}), "PyMesh": (("m.obj",), "(path)", {8: 48, 4: 24})}
ENTRY = ("import ctypes, importlib.util\nentry = ctypes.PyDLL(importlib.util.find_spec('kestrine').origin)"
         ".PyInit_kestrine\nentry.restype = ctypes.py_object\n")
REFUSED = "'refused' if 'modules do not yet support subinterpreters' in str(e) else 'ImportError'"
SUB_IMPORT = f"try:\n    import kestrine\n    r = 'ok'\nexcept ImportError as e:\n    r = {REFUSED}\n"
SUB_CLAIM = ENTRY + "entry()\nr = 'ok'\n"  # the entry point called directly: no import machinery in between
IN_SUB = """
def in_sub(code, config='legacy'):
    code = 'OUT = %r\\n' % OUT + code + '\\nopen(OUT, "w").write(r)\\n'
    if sys.version_info >= (3, 13):
        import _interpreters
        iid = _interpreters.create(_interpreters.new_config(config))
        assert _interpreters.run_string(iid, code) is None
        _interpreters.destroy(iid)
    elif config == 'legacy':
        import _testcapi
        assert _testcapi.run_in_subinterp(code) == 0
    else:
        import _testcapi
        assert _testcapi.run_in_subinterp_with_config(
            code, use_main_obmalloc=False, allow_fork=False, allow_exec=False, allow_threads=True,
            allow_daemon_threads=False, check_multi_interp_extensions=True, gil=2) == 0
    return open(OUT).read()
"""


def per_version(v312, since313):
    return {(3, 12): v312, (3, 13): since313, (3, 14): since313, (3, 15): since313}


# What each order of imports gives, per CPython version (newer ones are held
# to the newest recorded). The differences are CPython's: since 3.13 a legacy
# subinterpreter's import of a single-phase module runs the entry point in
# the main interpreter first, which becomes the owner; and an isolated
# interpreter refuses such a module before running its entry point, where
# 3.12 runs it (the isolated interpreter becoming the owner) and refuses after.
ORDERS = {
    "main-first": ("import kestrine\nprint(in_sub(SUB_IMPORT), kestrine.__all__ == NAMES, bool(kestrine.Sphere(1.0)))",
                   per_version(["refused", "True", "True"], ["refused", "True", "True"])),
    "sub-claims-first": ("print(in_sub(SUB_CLAIM))\n" + SUB_IMPORT + "print(r)",
                         per_version(["ok", "refused"], ["ok", "refused"])),
    "sub-imports-first": ("print(in_sub(SUB_IMPORT))\n" + SUB_IMPORT + "print(r)",
                          per_version(["ok", "refused"], ["refused", "ok"])),
    "isolated": ("import kestrine\nprint(in_sub(SUB_IMPORT, 'isolated'))", per_version(["ImportError"], ["ImportError"])),
    "isolated-sub-first": ("print(in_sub(SUB_IMPORT, 'isolated'))\n" + SUB_IMPORT + "print(r)",
                           per_version(["ImportError", "refused"], ["ImportError", "ok"])),
}


def run(code):
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


def test_module_contents():
    assert NAMES == list(CLASSES)  # a new class needs its row, in registration order
    assert {n for n in vars(kestrine) if not n.startswith("__")} == set(NAMES)
    assert all(isinstance(getattr(kestrine, n), type) for n in NAMES)
    doc = kestrine.__doc__
    assert doc and doc.endswith(".") and doc.count(".") == 1 and "\n" not in doc


@pytest.mark.parametrize("code, expected", [
    ("import sys, kestrine\nfirst = kestrine\ndel first.Sphere\ndel sys.modules['kestrine']\nimport kestrine\n"
     "print(kestrine is first, hasattr(kestrine, 'Sphere'), len(kestrine.__all__))", ["True", "False", str(len(NAMES))]),
    (ENTRY + "import sys, kestrine\nbefore = sys.getrefcount(kestrine)\nagain = entry()\n"
     "print(again is kestrine, sys.getrefcount(kestrine) - before)", ["True", "1"]),
], ids=["reimport", "entry-point-again"])
def test_module_is_built_once(code, expected):
    assert run(code) == expected


@pytest.mark.skipif(sys.platform != "linux" or shutil.which("nm") is None, reason="needs ELF and nm")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", kestrine.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.strip()] == ["PyInit_kestrine"]


# The first fault of a process may come when nothing can be had: no file
# descriptor, no address space, no file system, no stack. Whatever it needs
# was had at import, so it still raises.
FIRST_FAULT = "import kestrine, os, resource, sys, threading\n{}\ntry: {}\nexcept BaseException as e: print(type(e).__name__)"
EXHAUST_FDS = ("resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))\nheld = []\n"
               "while True:\n    try: held.append(os.open(os.devnull, os.O_RDONLY))\n    except OSError: break")
EXHAUST_MEMORY = ("sides = [1.0] * 200_000\nsize = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGESIZE')\n"
                  "resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))\n"
                  "held, chunk = [], 1 << 24\nwhile chunk >= 1 << 18:\n"
                  "    try: held.append(bytearray(chunk))\n    except MemoryError: chunk //= 2")
DEEP = ("def deep(n):\n    try: return list(map(deep, [n + 1]))\n    except RecursionError:\n"
        "        try: kestrine.Cuboid([1.0])\n        except BaseException as e: print(type(e).__name__)\n")
IN_DEEP_THREAD = ("sys.setrecursionlimit(10**6)\nthreading.stack_size(1 << 29)\n"
                  "t = threading.Thread(target=deep, args=(0,))\nt.start(); t.join()")


@pytest.mark.skipif(sys.platform != "linux", reason="Linux resource limits and /proc")
@pytest.mark.parametrize("setup, call, printed", [
    (EXHAUST_FDS, "kestrine.Cuboid([1.0, 2.0])", "PanicException"),
    pytest.param(EXHAUST_MEMORY, "kestrine.Cuboid(sides)", "MemoryError", marks=pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer's own allocator fails first")),
    ("import tempfile\nos.chroot(tempfile.mkdtemp())", "kestrine.Cuboid([1.0, 2.0])", "PanicException"),
    (DEEP, "deep(0)", "PanicException"),
    (DEEP + IN_DEEP_THREAD, "pass", "PanicException"),
], ids=["no-descriptors", "no-address-space", "empty-root", "recursion-limit", "recursion-limit-deep-thread"])
def test_first_fault_when_nothing_can_be_had(setup, call, printed):
    if "chroot" in setup and os.geteuid() != 0:
        pytest.skip("chroot needs root")
    if "RLIMIT_AS" in setup and EMULATED:
        pytest.skip("qemu-user does not pass RLIMIT_AS on: the process would fill the machine's memory")
    r = subprocess.run([sys.executable, "-c", FIRST_FAULT.format(setup, call)], capture_output=True, text=True,
                       timeout=120)
    assert (r.stdout.split(), r.returncode) == ([printed], 0), r.stderr


@pytest.mark.parametrize("order", ORDERS)
def test_only_the_first_interpreter_may_import(order, tmp_path):
    prelude = (f"import sys\nOUT, NAMES = {str(tmp_path / 'sub.txt')!r}, {NAMES!r}\n"
               f"SUB_IMPORT, SUB_CLAIM = {SUB_IMPORT!r}, {SUB_CLAIM!r}\n")
    code, outcomes = ORDERS[order]
    assert run(prelude + IN_SUB + code) == outcomes[min(sys.version_info[:2], max(outcomes))]


# ---- registration: each kestrine_testing record is used by one case only ----

def test_registration_fills_all_and_caches_the_module():
    m = kt.init_scenario(0)
    assert m.__all__ == REGISTERED and m.Cell is kt.class_object("Cell")
    assert kt.init_scenario(0) is m
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is not None and kt.init_scenario(0) is ref()  # the record keeps its own reference


def module_class(refuse=None, lookup_error=None):
    class M(types.ModuleType):  # fails the __all__ lookup, or the binding of `refuse`
        def __getattribute__(self, name):
            if name == "__all__" and lookup_error and "__all__" not in object.__getattribute__(self, "__dict__"):
                raise lookup_error
            return types.ModuleType.__getattribute__(self, name)

        def __setattr__(self, name, value):
            if name == refuse:
                raise OSError("no " + name)
            types.ModuleType.__setattr__(self, name, value)
    return lambda module: setattr(module, "__class__", M)


def boom(module):
    raise LookupError("prepare failed")


ListSub = type("ListSub", (list,), {})


@pytest.mark.parametrize("index, prepare, outcome", [
    (1, lambda m: setattr(m, "__all__", 5), TypeError("'int' object cannot be converted to 'PyList'")),
    (2, lambda m: setattr(m, "__all__", ListSub(["x"])), ListSub(["x"] + REGISTERED)),
    (3, boom, LookupError("prepare failed")),
    (4, module_class(lookup_error=KeyError("lookup")), KeyError("lookup")),
    (5, module_class(refuse="Cell"), OSError("no Cell")),
    (6, module_class(lookup_error=type("Missing", (AttributeError,), {})("__all__")), REGISTERED),
], ids=["int-all", "list-subclass", "prepare-raises", "lookup-fails", "bind-fails", "attribute-error-subclass"])
def test_registration_into_prepared_module(index, prepare, outcome):
    seen = []
    init = lambda: kt.init_scenario(index, lambda m: (seen.append(m), prepare(m)))
    if isinstance(outcome, BaseException):
        with pytest.raises(type(outcome)) as info:
            init()
        assert type(info.value) is type(outcome) and info.value.args == outcome.args
        assert index != 5 or seen[0].__all__ == ["Cell"]  # the name enters __all__ before the attribute is bound
    else:
        m = init()
        assert type(m.__all__) is type(outcome) and m.__all__ == outcome


def test_failed_class_creation_leaves_no_cached_module():
    seen = []
    with pytest.raises(RuntimeError) as info:
        kt.init_scenario(7, seen.append, True)
    assert str(info.value) == "An error occurred while initializing class NulDoc"
    assert type(info.value.__cause__) is ValueError and str(info.value.__cause__) == "class doc cannot contain nul bytes"
    m = kt.init_scenario(7)
    assert m is not seen[0] and m.__all__ == REGISTERED and m.Cell is seen[0].Cell
    assert kt.init_scenario(7) is m


# ---- class objects and instances ---------------------------------------------

@pytest.mark.parametrize("name", NAMES)
def test_class_objects_and_instances(name):
    cls, (args, sig, size) = getattr(kestrine, name), CLASSES[name]
    obj = cls(*args)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert repr(cls) == f"<class 'builtins.{name}'>" and repr(obj).startswith(f"<builtins.{name} object at ")
    assert cls.__basicsize__ == size[8 if sys.maxsize > 2**32 else 4] and cls.__itemsize__ == 0
    assert cls.__text_signature__ == sig
    assert cls.__doc__ == ("A Python wrapper for the Mesh type." if name == "PyMesh" else "")
    assert obj == obj and obj != cls(*args) and not gc.is_tracked(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.extra = 1
    for refused in (weakref.ref, pickle.dumps, copy.copy):
        with pytest.raises(TypeError):
            refused(obj)
    cls.extra = 1
    assert cls.extra == 1
    del cls.extra
    assert not hasattr(cls, "extra")


@pytest.mark.parametrize("name", ["Cone", "Cylinder"])
@pytest.mark.parametrize("method", ["radius", "half_length"])
def test_method_and_property_docs(name, method):
    m = getattr(getattr(kestrine, name), method)
    assert m.__text_signature__ == "($self)"
    assert m.__doc__ == f"Returns the {method.replace('_', ' ')} of the {name.lower()}."
    assert kestrine.PyMesh.mesh_path.__doc__ == ""


def test_helper_class_objects_are_cached():
    assert kt.class_object("Cell") is kt.class_object("Cell")
    bare = kt.class_object("NoSignature")
    assert bare.__doc__ == "Only a body." and bare.__text_signature__ is None
    assert kt.Cell.prop.__doc__ == "first doc"  # a merged property keeps its first doc


def test_assigned_init_takes_effect():
    calls, r, l = [], float("1.5"), float("2.5")  # fresh objects: their counts are ours to watch
    refs = [sys.getrefcount(r), sys.getrefcount(l)]
    with mock.patch.object(kestrine.Sphere, "__init__", lambda self, *a, **k: calls.append((type(self), a, k))):
        kestrine.Sphere(2.0)
        kestrine.Sphere(radius=3.0)
    with mock.patch.object(kestrine.Cone, "__init__", return_value=None) as init:
        cone = kestrine.Cone(1.0, length=2.0)
        kestrine.Cone(r, length=l)
    init.assert_called_with(r, length=l)
    init.reset_mock()
    assert [sys.getrefcount(r), sys.getrefcount(l)] == refs  # the fallback leaves every argument as it was
    kestrine.Sphere(4.0)  # restored: no call
    assert calls == [(kestrine.Sphere, (2.0,), {}), (kestrine.Sphere, (), {"radius": 3.0})]
    assert (cone.radius(), cone.half_length()) == (1.0, 1.0)


def refusal(call, *args):
    with pytest.raises(TypeError) as info:
        call(*args)
    return str(info.value)


@pytest.mark.parametrize("name", NAMES)
def test_assigned_new_takes_effect_and_is_restored(name):
    cls, (args, _, _) = getattr(kestrine, name), CLASSES[name]
    own = cls.__dict__["__new__"]
    with mock.patch.object(cls, "__new__", return_value=42):
        assert cls(*args) == 42
    spied = []
    with mock.patch.object(cls, "__new__", lambda c, *a, **k: spied.append(a) or own(c, *a, **k)):
        assert type(cls(*args)) is cls and spied == [args]
    assert cls.__dict__["__new__"] is own and type(cls(*args)) is type(cls.__new__(cls, *args)) is cls
    # Refused before the arguments are looked at, even when they would do.
    assert [refusal(cls.__new__, *bad) for bad in [(), (5, *args), (int,), (object, *args)]] == [
        f"builtins.{name}.__new__(): not enough arguments", f"builtins.{name}.__new__(X): X is not a type object (int)",
        f"builtins.{name}.__new__(int): int is not a subtype of builtins.{name}",
        f"builtins.{name}.__new__(object): object is not a subtype of builtins.{name}"]
