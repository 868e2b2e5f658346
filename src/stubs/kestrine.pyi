"""Collision-geometry value classes, implemented natively."""

from collections.abc import Sequence
from typing import Self, SupportsFloat, SupportsIndex, TypeAlias, final

_Number: TypeAlias = SupportsFloat | SupportsIndex

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
    def __new__(cls, sides: Sequence[_Number]) -> Self: ...

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
