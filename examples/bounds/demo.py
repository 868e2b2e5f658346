"""Bounding boxes and volumes of a few shapes, computed by kestrine_bounds."""
import math

import kestrine
import kestrine_bounds

shapes = [kestrine.Sphere(0.5), kestrine.Cuboid([1.0, 2.0, 3.0]), kestrine.Cylinder(0.1, 0.3),
          kestrine.Capsule(0.2, length=1.0), kestrine.Cone(1.0, 3.0)]
for shape, (low, high, volume) in zip(shapes, kestrine_bounds.bounds(shapes)):
    print(f"{type(shape).__name__:9} {low} .. {high}  volume {volume:.6g}")
total = kestrine_bounds.total_volume(shapes)
print(f"total volume {total:.6g}")
assert kestrine_bounds.bounds([kestrine.Cuboid([1.0, 2.0, 3.0])]) == [((-0.5, -1.0, -1.5), (0.5, 1.0, 1.5), 6.0)]
assert math.isclose(kestrine_bounds.total_volume([kestrine.Sphere(1.0)]), 4 / 3 * math.pi)
try:
    kestrine_bounds.bounds([kestrine.PyMesh("teapot.obj")])
except TypeError as e:
    print("refused:", e)
