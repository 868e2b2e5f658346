// nanobind peer: Cylinder(radius, length) and PyMesh(path), written the way
// the nanobind documentation suggests, with no tuning.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace nb = nanobind;

namespace {

struct Cylinder {
    float radius;
    float half_length;
    Cylinder(float r, float length) : radius(r), half_length(length * 0.5f) {}
};

struct PyMesh {
    std::string path;
};

}  // namespace

NB_MODULE(nb_shapes, m) {
    nb::class_<Cylinder>(m, "Cylinder")
        .def(nb::init<float, float>(), nb::arg("radius"), nb::arg("length"))
        .def("radius", [](const Cylinder &c) { return c.radius; })
        .def("half_length", [](const Cylinder &c) { return c.half_length; });

    nb::class_<PyMesh>(m, "PyMesh")
        .def(nb::init<std::string>(), nb::arg("path"))
        .def_prop_ro("mesh_path", [](const PyMesh &mesh) { return mesh.path; });
}
