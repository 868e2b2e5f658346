// pybind11 peer: Cylinder(radius, length) and PyMesh(path), written the way
// the pybind11 documentation suggests, with no tuning.
#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

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

PYBIND11_MODULE(pb_shapes, m) {
    py::class_<Cylinder>(m, "Cylinder")
        .def(py::init<float, float>(), py::arg("radius"), py::arg("length"))
        .def("radius", [](const Cylinder &c) { return c.radius; })
        .def("half_length", [](const Cylinder &c) { return c.half_length; });

    py::class_<PyMesh>(m, "PyMesh")
        .def(py::init<std::string>(), py::arg("path"))
        .def_property_readonly("mesh_path", [](const PyMesh &mesh) { return mesh.path; });
}
