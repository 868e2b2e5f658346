// Sphere(radius): a radius.
#include "../binding/convert.hpp"
#include "../binding/pyclass.hpp"

namespace kestrine::shape {
namespace {

struct PySphere {
    float radius;
};
static_assert(binding::instance_size_is<PySphere>(32, 16));

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
