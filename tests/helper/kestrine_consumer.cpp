// Test-only module: another extension that reads kestrine's shapes through
// the public header alone, as any consumer would. Never installed by a
// normal build.
#include "kestrine/kestrine.h"

#include <atomic>
#include <string_view>

namespace {

PyObject *to_py(const kestrine::Capsule &v) { return Py_BuildValue("(dd)", v.radius, v.half_length); }
PyObject *to_py(const kestrine::Cone &v) { return Py_BuildValue("(dd)", v.radius, v.half_length); }
PyObject *to_py(const kestrine::Cylinder &v) { return Py_BuildValue("(dd)", v.radius, v.half_length); }
PyObject *to_py(const kestrine::Sphere &v) { return Py_BuildValue("(d)", v.radius); }
PyObject *to_py(const kestrine::Cuboid &v) {
    return Py_BuildValue("(ddd)", v.half_extents[0], v.half_extents[1], v.half_extents[2]);
}
PyObject *to_py(const kestrine::PyMesh &v) {
    return PyBytes_FromStringAndSize(v.path.data(), static_cast<Py_ssize_t>(v.path.size()));
}

template <class T>
PyObject *values(PyObject *obj) {
    std::optional<T> v = kestrine::extract<T>(obj);
    return v ? to_py(*v) : nullptr;
}

PyObject *setup(PyObject *, PyObject *) {
    return kestrine_import() < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *kind(PyObject *, PyObject *obj) { return PyLong_FromLong(kestrine_kind_of(obj)); }

// read(class_name, obj): the stored values as a tuple, a path as bytes.
PyObject *read(PyObject *, PyObject *args) {
    const char *name;
    PyObject *obj;
    if (!PyArg_ParseTuple(args, "sO", &name, &obj))
        return nullptr;
    const std::string_view n = name;
    if (n == "Capsule") return values<kestrine::Capsule>(obj);
    if (n == "Cone") return values<kestrine::Cone>(obj);
    if (n == "Cuboid") return values<kestrine::Cuboid>(obj);
    if (n == "Cylinder") return values<kestrine::Cylinder>(obj);
    if (n == "Sphere") return values<kestrine::Sphere>(obj);
    if (n == "PyMesh") return values<kestrine::PyMesh>(obj);
    PyErr_SetString(PyExc_ValueError, name);
    return nullptr;
}

// The first stored float of any shape through the C readers, or the
// path's length: -1 (exception set) if the read fails.
double first_value(PyObject *obj, kestrine_kind kind) {
    kestrine_radial r{};
    kestrine_cuboid c{};
    kestrine_sphere s{};
    kestrine_mesh m{};
    switch (kind) {
    case KESTRINE_CAPSULE: return kestrine_read_capsule(obj, &r) < 0 ? -1 : r.radius + r.half_length;
    case KESTRINE_CONE: return kestrine_read_cone(obj, &r) < 0 ? -1 : r.radius + r.half_length;
    case KESTRINE_CYLINDER: return kestrine_read_cylinder(obj, &r) < 0 ? -1 : r.radius + r.half_length;
    case KESTRINE_CUBOID: return kestrine_read_cuboid(obj, &c) < 0 ? -1 : c.half_extents[0] + c.half_extents[2];
    case KESTRINE_SPHERE: return kestrine_read_sphere(obj, &s) < 0 ? -1 : s.radius;
    case KESTRINE_PYMESH: return kestrine_read_mesh(obj, &m) < 0 ? -1 : static_cast<double>(m.length);
    default: return -1;
    }
}

std::atomic<long> arrived{0};

// read_loop(shapes, rounds, threads): reads every shape `rounds` times with
// the GIL released, once `threads` callers have come (so that they read at
// the same time); the number of reads that disagreed with the first one.
PyObject *read_loop(PyObject *, PyObject *args) {
    PyObject *list;
    Py_ssize_t rounds;
    long threads;
    if (!PyArg_ParseTuple(args, "O!nl", &PyList_Type, &list, &rounds, &threads))
        return nullptr;
    constexpr Py_ssize_t kMax = 64;
    PyObject *shapes[kMax];  // the list, which the caller holds, keeps them
    kestrine_kind kinds[kMax];
    double want[kMax];
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n > kMax) {
        PyErr_SetString(PyExc_ValueError, "too many shapes");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        shapes[i] = PyList_GET_ITEM(list, i);
        kinds[i] = kestrine_kind_of(shapes[i]);
        want[i] = first_value(shapes[i], kinds[i]);
        if (PyErr_Occurred())
            return nullptr;
    }
    long wrong = 0;
    Py_BEGIN_ALLOW_THREADS
    for (arrived.fetch_add(1); arrived.load() % threads != 0;) {
    }
    for (Py_ssize_t r = 0; r < rounds; ++r) {
        for (Py_ssize_t i = 0; i < n; ++i)
            wrong += first_value(shapes[i], kinds[i]) != want[i];
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(wrong);
}

uintptr_t *flag_of(PyObject *obj) {
    switch (kestrine_kind_of(obj)) {
    case KESTRINE_CAPSULE:
    case KESTRINE_CONE:
    case KESTRINE_CYLINDER: return &reinterpret_cast<kestrine_radial_object *>(obj)->borrow_flag;
    case KESTRINE_CUBOID: return &reinterpret_cast<kestrine_cuboid_object *>(obj)->borrow_flag;
    case KESTRINE_SPHERE: return &reinterpret_cast<kestrine_sphere_object *>(obj)->borrow_flag;
    case KESTRINE_PYMESH: return &reinterpret_cast<kestrine_mesh_object *>(obj)->borrow_flag;
    default: return nullptr;
    }
}

// borrow_flag(shape[, value]): the shape's borrow flag, after setting it.
PyObject *borrow_flag(PyObject *, PyObject *args) {
    PyObject *obj, *value = nullptr;
    if (!PyArg_ParseTuple(args, "O|O!", &obj, &PyLong_Type, &value))
        return nullptr;
    uintptr_t *flag = flag_of(obj);
    if (!flag) {
        PyErr_SetString(PyExc_TypeError, "not a kestrine shape");
        return nullptr;
    }
    if (value)
        *flag = static_cast<uintptr_t>(PyLong_AsSize_t(value));
    return PyErr_Occurred() ? nullptr : PyLong_FromSize_t(*flag);
}

PyMethodDef methods[] = {
    {"setup", setup, METH_NOARGS, nullptr},
    {"kind", kind, METH_O, nullptr},
    {"read", read, METH_VARARGS, nullptr},
    {"read_loop", read_loop, METH_VARARGS, nullptr},
    {"borrow_flag", borrow_flag, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "kestrine_consumer", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kestrine_consumer() { return PyModule_Create(&module); }
