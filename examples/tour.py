"""A short tour of kestrine: build each class, read it back, and see how
bad calls are refused."""

import kestrine
from kestrine import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

print("kestrine exports", kestrine.__all__)

cylinder = Cylinder(0.1, length=0.3)
print(f"Cylinder(0.1, length=0.3): radius() = {cylinder.radius()!r}, "
      f"half_length() = {cylinder.half_length()!r}  (single precision)")
cone = Cone(2, 5)
print(f"Cone(2, 5): radius() = {cone.radius()}, half_length() = {cone.half_length()}")
print("Capsule(1.0, 2.0) ->", Capsule(1.0, 2.0))
print("Sphere(radius=3) ->", Sphere(radius=3))
print("Cuboid(range(2, 8, 2)) ->", Cuboid(range(2, 8, 2)))
mesh = PyMesh("meshes/teapot.obj")
print(f"PyMesh('meshes/teapot.obj').mesh_path = {mesh.mesh_path!r}")

print("\nBad calls:")
for source in [
    "Sphere()",
    "Cylinder(1.0, 2.0, 3.0)",
    "Cone(1.0, 2.0, height=3.0)",
    "Capsule(1.0, radius=2.0)",
    "Cylinder('a', 2.0)",
    "Cuboid('abc')",
    "Cuboid(5)",
    "PyMesh(b'm.obj')",
    "Sphere(10**400)",
]:
    try:
        eval(source)
    except Exception as exc:
        print(f"  {source:28} {type(exc).__name__}: {exc}")

print("\nAn internal fault is a PanicException, a BaseException (its report goes to stderr):",
      flush=True)
try:
    Cuboid([1.0, 2.0])
except BaseException as exc:
    print(f"  Cuboid([1.0, 2.0])           {type(exc).__module__}.{type(exc).__name__}: {exc}")
