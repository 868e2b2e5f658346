"""Another extension (kestrine_consumer, built beside kestrine_testing)
reading the classes' instances through the public header alone."""
import math
import subprocess
import sys
import threading
import types

import pytest

import kestrine
import kestrine_consumer as kc
from conftest import rounds
from kestrine import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

INF, NAN = math.inf, math.nan
KINDS = {name: i for i, name in enumerate(["", *kestrine.__all__])}
INLINE = 2 * (8 if sys.maxsize > 2**32 else 4)  # the longest path held in the instance itself
EXCLUSIVE = 2 * sys.maxsize + 1
kc.setup()


def same(got, want):
    return all(math.isnan(w) if math.isnan(w) else (g, math.copysign(1, g)) == (w, math.copysign(1, w))
               for g, w in zip(got, want, strict=True))


@pytest.mark.parametrize("make, want", [
    ("Capsule(0.1, length=0.3)", (0.10000000149011612, 0.15000000596046448)),
    ("Capsule(-1.0, 6e38)", (-1.0, INF)),  # narrowed to infinity before halving
    ("Cone(1e39, -0.0)", (INF, -0.0)),
    ("Cone(NAN, 5)", (NAN, 2.5)),
    ("Cylinder(1.0, 0.3)", (1.0, 0.15000000596046448)),
    ("Cylinder(length=-4, radius=-INF)", (-INF, -2.0)),
    ("Sphere(0.1)", (0.10000000149011612,)),
    ("Sphere(radius=-1e39)", (-INF,)),
    ("Cuboid([2, 4, 6, 8])", (1.0, 2.0, 3.0)),
    ("Cuboid((0.1, 1e39, NAN))", (0.05000000074505806, INF, NAN)),
])
def test_reads_what_the_constructor_stored(make, want, classes):
    shape = eval(make, dict(classes, INF=INF, NAN=NAN))
    name = make.split("(")[0]
    assert kc.kind(shape) == KINDS[name] and same(kc.read(name, shape), want)
    if hasattr(shape, "radius"):  # the class's own accessors agree
        assert same(kc.read(name, shape), (shape.radius(), shape.half_length()))
    assert kc.borrow_flag(shape) == 0  # a read leaves the flag as it was


@pytest.mark.parametrize("path", ["", "a", "x" * INLINE, "y" * (INLINE + 1), "модели/🫖.obj", "p" * 300])
def test_reads_the_exact_mesh_path(path):
    mesh = PyMesh(path)
    assert kc.kind(mesh) == KINDS["PyMesh"] and kc.read("PyMesh", mesh) == path.encode()
    assert kc.borrow_flag(mesh) == 0


@pytest.mark.parametrize("name, obj", [
    ("Cylinder", None), ("Cylinder", 1.0), ("Cone", Cylinder(1, 2)), ("Cylinder", Cylinder),
    ("Sphere", "sphere"), ("Capsule", Sphere(1)), ("Cuboid", [1, 2, 3]), ("PyMesh", "m.obj"),
])
def test_refuses_other_objects(name, obj):
    with pytest.raises(TypeError) as info:
        kc.read(name, obj)
    # In the words of kestrine's own type-mismatch errors.
    assert str(info.value) == f"'{type(obj).__qualname__}' object cannot be converted to '{name}'"
    assert kc.kind(obj) == KINDS.get(type(obj).__name__, 0)


@pytest.mark.parametrize("name, make", [("Cylinder", lambda: Cylinder(1, 2)), ("Cuboid", lambda: Cuboid([1, 2, 3])),
                                        ("Sphere", lambda: Sphere(1)), ("PyMesh", lambda: PyMesh("m.obj"))])
def test_refuses_an_exclusively_borrowed_instance(name, make):
    shape = make()
    kc.borrow_flag(shape, EXCLUSIVE)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        kc.read(name, shape)
    assert kc.borrow_flag(shape, 0) == 0 and kc.read(name, shape)


def test_reads_from_several_threads_at_once():
    shapes = [Capsule(1, 2), Cone(3, 4), Cuboid([1, 2, 3]), Cylinder(5, 6), Sphere(7), PyMesh("p" * 40)]
    wrong = []  # the threads meet in read_loop, and read at once
    threads = [threading.Thread(target=lambda: wrong.append(kc.read_loop(shapes * 10, rounds(20_000), 4)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # A read that wrote to the flag would, racing, leave it off zero.
    assert wrong == [0] * 4 and [kc.borrow_flag(s) for s in shapes] == [0] * 6


class Wider:
    __slots__ = ("a", "b", "c", "d")


@pytest.mark.parametrize("name, stand_in, found", [
    ("Cylinder", Wider, "its Cylinder instances are {} bytes, not {}"),
    ("PyMesh", float, "its PyMesh instances are {} bytes, not {}"),
    ("Sphere", 1.0, "its Sphere is not a class"),
])
def test_setup_refuses_another_layout(name, stand_in, found, monkeypatch):
    older = types.ModuleType("kestrine")
    older.__dict__.update({n: getattr(kestrine, n) for n in kestrine.__all__}, __file__="older.so")
    setattr(older, name, stand_in)
    monkeypatch.setitem(sys.modules, "kestrine", older)
    with pytest.raises(ImportError) as info:
        kc.setup()
    sizes = [getattr(stand_in, "__basicsize__", 0), getattr(kestrine, name).__basicsize__]
    assert str(info.value).startswith("kestrine ") and str(info.value).endswith(
        " (older.so) does not have instance layout 1, which this extension was compiled for: "
        + found.format(*sizes))
    assert kc.read("Sphere", Sphere(2)) == (2.0,)  # what was set up before stays
    monkeypatch.undo()
    kc.setup()


def test_readers_refuse_before_setup():
    code = "import kestrine_consumer as kc, kestrine\ntry: kc.read('Sphere', kestrine.Sphere(1))\nexcept RuntimeError as e: print(e)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "kestrine_import() has not set up the kestrine readers\n"
