// Cylinder(radius, length): a radius and a half length.
#include "radial.hpp"

namespace kestrine::shape {

extern binding::LazyTypeObject cylinder_class;

namespace {

struct PyCylinder {
    float radius;
    float half_length;
};
static_assert(binding::instance_size_is<PyCylinder>(32, 20));
static_assert(radial_record_is_public<PyCylinder>());

binding::InternedNames names;
constexpr binding::FunctionDescription new_args = radius_length_description("Cylinder", names);
using New = RadiusLengthConstructor<PyCylinder, new_args>;

const binding::ClassItem items[] = {
    binding::new_slot<New>(),
    radius_method<PyCylinder, cylinder_class>("radius($self)\n--\n\nReturns the radius of the cylinder."),
    half_length_method<PyCylinder, cylinder_class>(
        "half_length($self)\n--\n\nReturns the half length of the cylinder."),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PyCylinder>("Cylinder", "(radius, length)", "", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject cylinder_class{descriptor};

}  // namespace kestrine::shape
