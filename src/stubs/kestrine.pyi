"""Collision-geometry value classes, implemented natively."""

from typing import Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

_Number: TypeAlias = SupportsFloat | SupportsIndex

# What Cuboid reads: anything indexable by position whose items are numbers,
# such as a list, a tuple, a range or a NumPy array, but not a str.
@type_check_only
class _Sides(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

__all__ = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"]

@final
class Capsule:
    def __new__(cls, radius: _Number, length: _Number) -> Self: ...

@final
class Cone:
    def __new__(cls, radius: _Number, length: _Number) -> Self: ...
    def radius(self) -> float:
        """Returns the radius of the cone."""
    def half_length(self) -> float:
        """Returns the half length of the cone."""

@final
class Cuboid:
    def __new__(cls, sides: _Sides) -> Self: ...

@final
class Cylinder:
    def __new__(cls, radius: _Number, length: _Number) -> Self: ...
    def radius(self) -> float:
        """Returns the radius of the cylinder."""
    def half_length(self) -> float:
        """Returns the half length of the cylinder."""

@final
class Sphere:
    def __new__(cls, radius: _Number) -> Self: ...

@final
class PyMesh:
    """A Python wrapper for the Mesh type."""

    def __new__(cls, path: str) -> Self: ...
    @property
    def mesh_path(self) -> str: ...
