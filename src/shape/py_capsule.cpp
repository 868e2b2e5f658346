// Capsule(radius, length): a radius and a half length.
#include "radial.hpp"

namespace kestrine::shape {

namespace {

struct PyCapsule {
    float radius;
    float half_length;
};
static_assert(binding::instance_size_is<PyCapsule>(32, 20));
static_assert(radial_record_is_public<PyCapsule>());

binding::InternedNames names;
constexpr binding::FunctionDescription new_args = radius_length_description("Capsule", names);
using New = RadiusLengthConstructor<PyCapsule, new_args>;

const binding::ClassItem items[] = {
    binding::new_slot<New>(),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PyCapsule>("Capsule", "(radius, length)", "", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject capsule_class{descriptor};

}  // namespace kestrine::shape
