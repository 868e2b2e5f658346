"""Pure-Python peers: a plain class with __slots__ and a frozen slotted dataclass.

Both convert with float() (so a str argument raises ValueError, not TypeError)
and keep Python floats, as idiomatic Python code would.
"""

from dataclasses import InitVar, dataclass, field


class SlotsCylinder:
    __slots__ = ("_radius", "_half_length")

    def __init__(self, radius, length):
        self._radius = float(radius)
        self._half_length = float(length) * 0.5

    def radius(self):
        return self._radius

    def half_length(self):
        return self._half_length


class SlotsPyMesh:
    __slots__ = ("_path",)

    def __init__(self, path):
        if not isinstance(path, str):
            raise TypeError("path must be a str")
        self._path = path

    @property
    def mesh_path(self):
        return self._path


class SlotsCuboid:
    __slots__ = ("_half_extents",)

    def __init__(self, sides):
        self._half_extents = (float(sides[0]) * 0.5, float(sides[1]) * 0.5, float(sides[2]) * 0.5)


# The field is named _radius because radius is the method; the generated
# __init__ is therefore (self, _radius, length).
@dataclass(frozen=True, slots=True)
class FrozenCylinder:
    _radius: float
    length: InitVar[float]
    _half_length: float = field(init=False)

    def __post_init__(self, length):
        object.__setattr__(self, "_radius", float(self._radius))
        object.__setattr__(self, "_half_length", float(length) * 0.5)

    def radius(self):
        return self._radius

    def half_length(self):
        return self._half_length


@dataclass(frozen=True, slots=True)
class FrozenPyMesh:
    mesh_path: str

    def __post_init__(self):
        if not isinstance(self.mesh_path, str):
            raise TypeError("path must be a str")


@dataclass(frozen=True, slots=True)
class FrozenCuboid:
    half_extents: tuple

    def __init__(self, sides):
        half_extents = (float(sides[0]) * 0.5, float(sides[1]) * 0.5, float(sides[2]) * 0.5)
        object.__setattr__(self, "half_extents", half_extents)
