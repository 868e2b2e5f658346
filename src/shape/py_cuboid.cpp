// Cuboid(sides): three half extents from a sequence of sides.
#include "../binding/convert.hpp"
#include "../binding/fault.hpp"
#include "../binding/pyclass.hpp"
#include "../binding/public_layout.hpp"

#include <cstddef>

namespace kestrine::shape {
namespace {

struct PyCuboid {
    float half_extents[3];  // x, y, z
};
static_assert(binding::instance_size_is<PyCuboid>(40, 24));
static_assert(binding::record_is<PyCuboid, kestrine_cuboid_object>() &&
              sizeof(PyCuboid::half_extents) == sizeof(kestrine_cuboid_object::half_extents) &&
              binding::payload_offset<PyCuboid> + offsetof(PyCuboid, half_extents) ==
                  offsetof(kestrine_cuboid_object, half_extents));

// Every side is converted before the count is looked at; a short sequence
// is a fault whose report names the read that failed. Inlined, so the fault
// is thrown in the frame whose boundary catches it.
[[gnu::always_inline]] inline PyCuboid from_sides(const binding::FloatVec &sides) {
    const float x = binding::checked_at(sides, 0);
    const float y = binding::checked_at(sides, 1);
    const float z = binding::checked_at(sides, 2);
    return PyCuboid{{x * 0.5f, y * 0.5f, z * 0.5f}};
}

constexpr std::string_view params[] = {"sides"};
binding::InternedNames names;
constexpr binding::FunctionDescription new_args{"Cuboid", "__new__", params, 0, 1, {}, &names};
using New = binding::Constructor<from_sides, new_args, binding::extract_f32_vec>;

const binding::ClassItem items[] = {
    binding::new_slot<New>(),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PyCuboid>("Cuboid", "(sides)", "", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject cuboid_class{descriptor};

}  // namespace kestrine::shape
