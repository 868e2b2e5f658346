// Sphere(radius): a radius.
#include "../binding/convert.hpp"
#include "../binding/pyclass.hpp"

namespace kestrine::shape {
namespace {

struct PySphere {
    float radius;
};

constexpr std::string_view params[] = {"radius"};
constexpr binding::FunctionDescription new_args{"Sphere", "__new__", params, 0, 1, {}};

PyObject *sphere_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) noexcept {
    return binding::trampoline([&] {
        return binding::construct<binding::extract_f32>(
            cls, new_args, args, kwargs, [](float radius) { return PySphere{radius}; });
    });
}

const binding::ClassItem items[] = {
    binding::type_slot(Py_tp_new, sphere_new),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PySphere>("Sphere", "(radius)", "", items);

}  // namespace

binding::LazyTypeObject sphere_class{descriptor};

}  // namespace kestrine::shape
