// Capsule(radius, length): a radius and a half length.
#include "radial.hpp"

namespace kestrine::shape {

namespace {

struct PyCapsule {
    float radius;
    float half_length;
};

constexpr binding::FunctionDescription new_args = radius_length_description("Capsule");

const binding::ClassItem items[] = {
    binding::type_slot(Py_tp_new, radius_length_new<PyCapsule, new_args>),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PyCapsule>("Capsule", "(radius, length)", "", items);

}  // namespace

binding::LazyTypeObject capsule_class{descriptor};

}  // namespace kestrine::shape
