# cython: language_level=3
# Cython peer: cdef classes holding C floats and a str.

cdef class Cylinder:
    cdef float _radius
    cdef float _half_length

    def __cinit__(self, float radius, float length):
        self._radius = radius
        self._half_length = length * 0.5

    def radius(self):
        return self._radius

    def half_length(self):
        return self._half_length


cdef class PyMesh:
    cdef str _path

    def __cinit__(self, str path):
        self._path = path

    @property
    def mesh_path(self):
        return self._path
