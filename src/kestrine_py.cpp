// The kestrine module: its definition and the registration of its classes.
#include <Python.h>

#include "binding/module.hpp"

namespace kestrine {

namespace shape {
extern binding::LazyTypeObject capsule_class, cone_class, cuboid_class, cylinder_class,
    sphere_class;
}
namespace mesh {
extern binding::LazyTypeObject mesh_class;
}

namespace {

// Registration order is part of the interface: it is the order of __all__.
binding::LazyTypeObject *const registered_classes[] = {
    &shape::capsule_class,  &shape::cone_class,   &shape::cuboid_class,
    &shape::cylinder_class, &shape::sphere_class, &mesh::mesh_class,
};

binding::Status register_all(PyObject *module) {
    if (binding::Status published = binding::publish_panic_module(); !published)
        return published;
    return binding::register_classes(module, registered_classes);
}

binding::ModuleRecord kestrine_module{
    .def =
        {
            PyModuleDef_HEAD_INIT,
            "kestrine",
            "A Python module implemented natively that offers collision-geometry value classes.",
            0,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
        },
    .body = register_all,
};

}  // namespace
}  // namespace kestrine

PyMODINIT_FUNC PyInit_kestrine() { return kestrine::binding::module_init(kestrine::kestrine_module); }
