// A class unit written against pyclass.hpp alone. As it stands it must
// compile; each KESTRINE_PROBE case makes one mistake that must not.
#include "binding/pyclass.hpp"

namespace probe {

using namespace kestrine::binding;

struct Payload {
    float a;
    float b;
};

Payload make(float a, float b) { return Payload{a, b}; }

extern LazyTypeObject probe_class;

#if KESTRINE_PROBE == 1  // an optional positional parameter
constexpr std::string_view params[] = {"a", "b"};
constexpr FunctionDescription desc{"Probe", "__new__", params, 0, 1, {}, nullptr};
#elif KESTRINE_PROBE == 2  // an optional keyword-only parameter
constexpr std::string_view params[] = {"a"};
constexpr KeywordOnlyParameter keywords[] = {{"b", false}};
constexpr FunctionDescription desc{"Probe", "__new__", params, 0, 1, keywords, nullptr};
#elif KESTRINE_PROBE == 3  // a parameter without a converter
constexpr std::string_view params[] = {"a", "b", "c"};
constexpr FunctionDescription desc{"Probe", "__new__", params, 0, 3, {}, nullptr};
#else
constexpr std::string_view params[] = {"a", "b"};
constexpr FunctionDescription desc{"Probe", "__new__", params, 0, 2, {}, nullptr};
#endif
using New = Constructor<make, desc, extract_f32, extract_f32>;

const ClassItem items[] = {
    new_slot<New>(),
    PyMethodDef{"a", float_method<Payload, &Payload::a, probe_class>, METH_NOARGS, nullptr},
};

const ClassDescriptor descriptor =
    class_descriptor<Payload>("Probe", "(a, b)", "", items, New::vectorcall);

LazyTypeObject probe_class{descriptor};

}  // namespace probe
