"""What the stubs of an installed wheel accept and refuse: scripts/typecheck.sh
checks this file with mypy --strict and pyright, in a venv holding the wheel."""
# pyright: strict, reportUnnecessaryTypeIgnoreComment=true

from fractions import Fraction

import numpy

from kestrine import Capsule, Cone, Cuboid, Cylinder, PyMesh, Sphere

Cuboid([1.0, 2.0, 3.0])
Cuboid((1, 2, 3, 4))
Cuboid(range(2, 8, 2))
Cuboid(b"\x02\x04\x06")
Cuboid([Fraction(1, 2), numpy.float32(1.0), True])
Cuboid(numpy.array([1.0, 2.0, 3.0]))
Cuboid(numpy.arange(3, dtype=numpy.int32))
Sphere(numpy.float64(0.5))
Capsule(radius=numpy.int64(1), length=Fraction(3, 2))
height: float = Cone(1.0, 2.0).half_length() + Cylinder(1, 2).radius()
path: str = PyMesh("meshes/teapot.obj").mesh_path

# Refused at run time with TypeError, so refused here too.
Cuboid("abc")  # type: ignore[arg-type]
Cuboid(5)  # type: ignore[arg-type]
Sphere("1.0")  # type: ignore[arg-type]
PyMesh(b"m.obj")  # type: ignore[arg-type]
