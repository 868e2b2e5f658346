// Cuboid(sides): three half extents from a sequence of sides.
#include "../binding/convert.hpp"
#include "../binding/fault.hpp"
#include "../binding/pyclass.hpp"

namespace kestrine::shape {
namespace {

struct PyCuboid {
    float half_extents[3];  // x, y, z
};

// Every side is converted before the count is looked at; a short sequence
// is a fault whose report names the read that failed.
template <class Sides> PyCuboid from_sides(Sides &sides) {
    const float x = binding::checked_at(sides, 0);
    const float y = binding::checked_at(sides, 1);
    const float z = binding::checked_at(sides, 2);
    return PyCuboid{{x * 0.5f, y * 0.5f, z * 0.5f}};
}

// The fault comes back as the call's error rather than unwinding to it.
binding::Result<PyCuboid> cuboid_from(const binding::FloatVec &sides) {
    binding::RecordingReads reads(sides);
    const PyCuboid cuboid = from_sides(reads);
    if (reads.faulted()) [[unlikely]]
        return binding::err(binding::PyErr::from_panic_payload(reads.take_message()));
    return cuboid;
}

constexpr std::string_view params[] = {"sides"};
binding::InternedNames names;
constexpr binding::FunctionDescription new_args{"Cuboid", "__new__", params, 0, 1, {}, &names};
using New = binding::Constructor<cuboid_from, new_args, binding::extract_f32_vec>;

const binding::ClassItem items[] = {
    binding::type_slot(Py_tp_new, New::tp_new),
};

const binding::ClassDescriptor descriptor =
    binding::class_descriptor<PyCuboid>("Cuboid", "(sides)", "", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject cuboid_class{descriptor};

}  // namespace kestrine::shape
