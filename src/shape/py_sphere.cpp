// Sphere(radius): a radius.
#include "../binding/convert.hpp"
#include "../binding/pyclass.hpp"
#include "../binding/public_layout.hpp"

#include <cstddef>

namespace kestrine::shape {
namespace {

struct PySphere {
    float radius;
};
static_assert(binding::instance_size_is<PySphere>(32, 16));
static_assert(binding::record_is<PySphere, kestrine_sphere_object>() &&
              binding::payload_offset<PySphere> + offsetof(PySphere, radius) ==
                  offsetof(kestrine_sphere_object, radius));

PySphere from_radius(float radius) { return PySphere{radius}; }

constexpr std::string_view params[] = {"radius"};
binding::InternedNames names;
constexpr binding::FunctionDescription new_args{"Sphere", "__new__", params, 0, 1, {}, &names};
using New = binding::Constructor<from_radius, new_args, binding::extract_f32>;

const binding::ClassItem items[] = {
    binding::new_slot<New>(),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PySphere>("Sphere", "(radius)", "", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject sphere_class{descriptor};

}  // namespace kestrine::shape
