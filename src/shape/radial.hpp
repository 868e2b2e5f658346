// What the shapes built from a radius and a length have in common.
#pragma once

#include "../binding/convert.hpp"  // Python.h, ahead of every standard header
#include "../binding/pyclass.hpp"
#include "../binding/public_layout.hpp"

#include <cstddef>
#include <type_traits>

#include <string_view>

namespace kestrine::shape {

inline constexpr std::string_view kRadiusLength[] = {"radius", "length"};

constexpr binding::FunctionDescription radius_length_description(const char *class_name,
                                                                 binding::InternedNames &names) {
    return {class_name, "__new__", kRadiusLength, 0, 2, {}, &names};
}

// Whether a {radius, half_length} record is the header's
// kestrine_radial_object, field by field.
template <class Payload>
consteval bool radial_record_is_public() {
    using Public = kestrine_radial_object;
    constexpr std::size_t at = binding::payload_offset<Payload>;
    return binding::record_is<Payload, Public>() && std::is_same_v<decltype(Payload::radius), float> &&
           std::is_same_v<decltype(Payload::half_length), float> &&
           at + offsetof(Payload, radius) == offsetof(Public, radius) &&
           at + offsetof(Payload, half_length) == offsetof(Public, half_length);
}

// Payload {radius, half_length}: the length is narrowed, then halved.
template <class Payload>
Payload from_radius_length(float radius, float length) {
    return Payload{radius, length * 0.5f};
}

template <class Payload, const binding::FunctionDescription &Desc>
using RadiusLengthConstructor = binding::Constructor<from_radius_length<Payload>, Desc,
                                                     binding::extract_f32, binding::extract_f32>;

template <class Payload, binding::LazyTypeObject &Cls>
PyMethodDef radius_method(const char *doc) {
    return {"radius", binding::float_method<Payload, &Payload::radius, Cls>, METH_NOARGS, doc};
}

template <class Payload, binding::LazyTypeObject &Cls>
PyMethodDef half_length_method(const char *doc) {
    return {"half_length", binding::float_method<Payload, &Payload::half_length, Cls>, METH_NOARGS, doc};
}

}  // namespace kestrine::shape
