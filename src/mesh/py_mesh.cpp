// PyMesh(path): the exact UTF-8 path of a mesh file, never opened.
#include "../binding/convert.hpp"
#include "../binding/pyclass.hpp"
#include "../binding/public_layout.hpp"

#include <cstddef>

namespace kestrine::mesh {

extern binding::LazyTypeObject mesh_class;

namespace {

struct PyMesh {
    binding::OwnedText path;
};
static_assert(binding::instance_size_is<PyMesh>(48, 24));
static_assert(binding::record_is<PyMesh, kestrine_mesh_object>() &&
              binding::OwnedText::kInline == KESTRINE_PATH_INLINE &&
              binding::payload_offset<PyMesh> + offsetof(PyMesh, path) + binding::OwnedText::storage_offset() ==
                  offsetof(kestrine_mesh_object, path) &&
              binding::payload_offset<PyMesh> + offsetof(PyMesh, path) + binding::OwnedText::length_offset() ==
                  offsetof(kestrine_mesh_object, path_length));

PyMesh from_path(binding::OwnedText &&path) { return PyMesh{std::move(path)}; }

constexpr std::string_view params[] = {"path"};
binding::InternedNames names;
constexpr binding::FunctionDescription new_args{"PyMesh", "__new__", params, 0, 1, {}, &names};
using New = binding::Constructor<from_path, new_args, binding::extract_text>;

binding::Result<binding::Owned> get_mesh_path(const PyMesh &mesh) { return binding::text_into_py(mesh.path.view()); }

const binding::ClassItem items[] = {
    binding::new_slot<New>(),
    binding::PropertyItem{"mesh_path", binding::property_getter<PyMesh, get_mesh_path, mesh_class>,
                          nullptr, ""},
};

const binding::ClassDescriptor descriptor = binding::class_descriptor<PyMesh>(
    "PyMesh", "(path)", "A Python wrapper for the Mesh type.", items, New::vectorcall);

}  // namespace

binding::LazyTypeObject mesh_class{descriptor};

}  // namespace kestrine::mesh
