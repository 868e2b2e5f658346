// Cone(radius, length): a radius and a half length.
#include "radial.hpp"

namespace kestrine::shape {

extern binding::LazyTypeObject cone_class;

namespace {

struct PyCone {
    float radius;
    float half_length;
};
static_assert(binding::instance_size_is<PyCone>(32, 20));
static_assert(radial_record_is_public<PyCone>());

binding::InternedNames names;
constexpr binding::FunctionDescription new_args = radius_length_description("Cone", names);
using New = RadiusLengthConstructor<PyCone, new_args>;

const binding::ClassItem items[] = {
    binding::new_slot<New>(),
    radius_method<PyCone, cone_class>("radius($self)\n--\n\nReturns the radius of the cone."),
    half_length_method<PyCone, cone_class>(
        "half_length($self)\n--\n\nReturns the half length of the cone."),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PyCone>("Cone", "(radius, length)", "", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject cone_class{descriptor};

}  // namespace kestrine::shape
