"""Type-checked use of kestrine (checked with mypy --strict in CI)."""

from kestrine import Cone, Cuboid, Cylinder, PyMesh, Sphere


def total_height(shapes: list[Cylinder | Cone]) -> float:
    return sum(2.0 * shape.half_length() for shape in shapes)


def main() -> None:
    shapes: list[Cylinder | Cone] = [Cylinder(0.5, 2.0), Cone(radius=1, length=3)]
    print(f"stacked height: {total_height(shapes)}")
    box = Cuboid((1.0, 2.0, 3.0))
    ball = Sphere(radius=0.25)
    mesh = PyMesh("meshes/teapot.obj")
    path: str = mesh.mesh_path
    print(box, ball, path)


if __name__ == "__main__":
    main()
