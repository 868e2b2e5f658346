/*
 * kestrine.h: read kestrine's shapes from another extension module.
 *
 * Header-only, for C (C11, or C99 with GCC or clang), C++ and
 * Cython (cdef extern). Nothing here links against kestrine: the readers
 * know the instance layout of its six classes, which kestrine promises to
 * keep for a given KESTRINE_LAYOUT_VERSION, and check it once, in
 * kestrine_import().
 *
 *     if (kestrine_import() < 0)            // in your module's init
 *         return NULL;                      // ImportError set
 *     kestrine_radial c;
 *     if (kestrine_read_cylinder(obj, &c) < 0)
 *         return NULL;                      // TypeError set
 *     use(c.radius, c.half_length);
 *
 * Every function must be called with the GIL held, except that a reader
 * given an object of its class (check with kestrine_kind_of first) may run
 * without it while the caller keeps a reference to the object: it then
 * cannot fail, as kestrine never borrows an instance exclusively.
 *
 * The state that kestrine_import() fills is static: each translation unit
 * that reads shapes calls kestrine_import() once (it is cheap after the
 * first import of kestrine).
 */
#ifndef KESTRINE_KESTRINE_H
#define KESTRINE_KESTRINE_H

#include <Python.h>

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
#include <atomic>
#define KESTRINE__STD_ATOMIC 1
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L && !defined(__STDC_NO_ATOMICS__)
#include <stdatomic.h>
#define KESTRINE__C11_ATOMIC 1
#elif !defined(__GNUC__)
#error "kestrine.h needs C11 atomics, or GCC or clang"
#endif

#if defined(__cplusplus) && (__cplusplus >= 201703L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201703L))
#define KESTRINE__CPP17 1
#include <optional>
#include <string_view>
#endif

/* The instance layout this header reads. It changes with any change to the
 * records below; kestrine_import() refuses a kestrine whose classes do not
 * have these records' sizes. */
#define KESTRINE_LAYOUT_VERSION 1

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The instance records (the layout promise) ---------------------------
 * Each is the object header, the payload, then the borrow flag: a word that
 * counts the shared borrows held (0 for none); all ones marks an exclusive
 * borrow, which a reader refuses. Only the readers below touch them. */

/* Capsule, Cone, Cylinder */
typedef struct {
    PyObject_HEAD
    float radius;
    float half_length;
    uintptr_t borrow_flag;
} kestrine_radial_object;

typedef struct {
    PyObject_HEAD
    float half_extents[3]; /* x, y, z: the first three sides, halved */
    uintptr_t borrow_flag;
} kestrine_cuboid_object;

typedef struct {
    PyObject_HEAD
    float radius;
    uintptr_t borrow_flag;
} kestrine_sphere_object;

/* A path of up to KESTRINE_PATH_INLINE bytes is held in `path.bytes`;
 * a longer one in a buffer that `path.heap` points to. Not NUL-terminated. */
#define KESTRINE_PATH_INLINE (2 * sizeof(void *))
typedef struct {
    PyObject_HEAD
    union {
        char *heap;
        char bytes[2 * sizeof(void *)];
    } path;
    size_t path_length;
    uintptr_t borrow_flag;
} kestrine_mesh_object;

#ifndef KESTRINE_LAYOUT_ONLY

/* ---- What the readers give back --------------------------------------- */

/* Capsule, Cone, Cylinder. */
typedef struct {
    float radius;
    float half_length;
} kestrine_radial;

/* Cuboid. How many sides it was given is not stored. */
typedef struct {
    float half_extents[3];
} kestrine_cuboid;

typedef struct {
    float radius;
} kestrine_sphere;

/* PyMesh: the path's exact UTF-8 bytes, not NUL-terminated, valid while the
 * instance lives. */
typedef struct {
    const char *utf8;
    size_t length;
} kestrine_mesh;

/* Which of kestrine's classes an object is an instance of. */
typedef enum {
    KESTRINE_NOT_A_SHAPE = 0,
    KESTRINE_CAPSULE,
    KESTRINE_CONE,
    KESTRINE_CUBOID,
    KESTRINE_CYLINDER,
    KESTRINE_SPHERE,
    KESTRINE_PYMESH
} kestrine_kind;

/* ---- The borrow flag ---------------------------------------------------- */

/* A read only loads the flag, as the class's own accessors do: it copies
 * stored values and runs no Python code, so nothing could observe a shared
 * borrow taken and given back around it. The load is atomic, so readers on
 * several threads (with or without the GIL) never race with one another. */
#define KESTRINE__EXCLUSIVE (~(uintptr_t)0)
#if defined(KESTRINE__STD_ATOMIC)
#define KESTRINE__LOAD(flag) reinterpret_cast<const std::atomic<uintptr_t> *>(flag)->load(std::memory_order_relaxed)
#elif defined(KESTRINE__C11_ATOMIC)
#define KESTRINE__LOAD(flag) atomic_load_explicit((const _Atomic(uintptr_t) *)(flag), memory_order_relaxed)
#else /* C99 with GCC or clang */
#define KESTRINE__LOAD(flag) __atomic_load_n((flag), __ATOMIC_RELAXED)
#endif

/* ---- State ------------------------------------------------------------ */

/* The class objects, by kind (index 0 unused); strong references, kept. */
static PyTypeObject *kestrine__types[7];

static const char *const kestrine__names[7] = {"", "Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh"};

static const Py_ssize_t kestrine__sizes[7] = {
    0,
    (Py_ssize_t)sizeof(kestrine_radial_object),
    (Py_ssize_t)sizeof(kestrine_radial_object),
    (Py_ssize_t)sizeof(kestrine_cuboid_object),
    (Py_ssize_t)sizeof(kestrine_radial_object),
    (Py_ssize_t)sizeof(kestrine_sphere_object),
    (Py_ssize_t)sizeof(kestrine_mesh_object),
};

/* ---- Setup ------------------------------------------------------------ */

/* kestrine's distribution version, or a placeholder; for messages only. */
static inline PyObject *kestrine__installed_version(void) {
    PyObject *version = NULL;
    PyObject *metadata = PyImport_ImportModule("importlib.metadata");
    if (metadata) {
        version = PyObject_CallMethod(metadata, "version", "s", "kestrine");
        Py_DECREF(metadata);
    }
    if (!version || !PyUnicode_Check(version)) {
        PyErr_Clear();
        Py_XDECREF(version);
        version = PyUnicode_FromString("of unknown version");
    }
    return version;
}

/* The ImportError for a class whose record is not this header's. */
static inline int kestrine__layout_mismatch(PyObject *module, int kind, PyObject *cls) {
    PyObject *version = kestrine__installed_version();
    PyObject *where = version ? PyObject_GetAttrString(module, "__file__") : NULL;
    if (!where) {
        PyErr_Clear();
        where = PyUnicode_FromString("?");
    }
    if (version && where) {
        if (PyType_Check(cls))
            PyErr_Format(PyExc_ImportError,
                         "kestrine %U (%U) does not have instance layout %d, which this extension was "
                         "compiled for: its %s instances are %zd bytes, not %zd",
                         version, where, KESTRINE_LAYOUT_VERSION, kestrine__names[kind],
                         ((PyTypeObject *)cls)->tp_basicsize, kestrine__sizes[kind]);
        else
            PyErr_Format(PyExc_ImportError,
                         "kestrine %U (%U) does not have instance layout %d, which this extension was "
                         "compiled for: its %s is not a class",
                         version, where, KESTRINE_LAYOUT_VERSION, kestrine__names[kind]);
    }
    Py_XDECREF(where);
    Py_XDECREF(version);
    return -1;
}

/* Imports kestrine and checks its six classes against the records above.
 * 0 on success; -1 with ImportError (or the import's own error) set, and
 * then the readers keep whatever an earlier successful call set up. */
static inline int kestrine_import(void) {
    PyTypeObject *found[7] = {NULL};
    int kind, failed = 0;
    PyObject *module = PyImport_ImportModule("kestrine");
    if (!module)
        return -1;
    for (kind = KESTRINE_CAPSULE; kind <= KESTRINE_PYMESH && !failed; ++kind) {
        PyObject *cls = PyObject_GetAttrString(module, kestrine__names[kind]);
        if (!cls) {
            failed = 1;
        } else if (!PyType_Check(cls) || ((PyTypeObject *)cls)->tp_basicsize != kestrine__sizes[kind] ||
                   ((PyTypeObject *)cls)->tp_itemsize != 0) {
            failed = 1;
            kestrine__layout_mismatch(module, kind, cls);
            Py_DECREF(cls);
        } else {
            found[kind] = (PyTypeObject *)cls;
        }
    }
    Py_DECREF(module);
    for (kind = KESTRINE_CAPSULE; kind <= KESTRINE_PYMESH; ++kind) {
        PyTypeObject *old = kestrine__types[kind];
        if (failed) {
            Py_XDECREF(found[kind]);
        } else {
            kestrine__types[kind] = found[kind];
            Py_XDECREF(old);
        }
    }
    return failed ? -1 : 0;
}

/* ---- Queries and readers ---------------------------------------------- */

static inline kestrine_kind kestrine_kind_of(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    int kind;
    for (kind = KESTRINE_CAPSULE; kind <= KESTRINE_PYMESH; ++kind) {
        if (type == kestrine__types[kind])
            return (kestrine_kind)kind;
    }
    return KESTRINE_NOT_A_SHAPE;
}

/* Off the readers' path, which then needs no frame of its own. */
#if defined(__GNUC__)
#define KESTRINE__COLD __attribute__((noinline, cold, unused))
#else
#define KESTRINE__COLD inline
#endif

/* The TypeError for an object of another type, in kestrine's own words. */
KESTRINE__COLD static void kestrine__refuse(PyObject *obj, int kind) {
    PyObject *name;
    if (!kestrine__types[kind]) {
        PyErr_SetString(PyExc_RuntimeError, "kestrine_import() has not set up the kestrine readers");
        return;
    }
    name = PyType_GetQualName(Py_TYPE(obj));
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, kestrine__names[kind]);
        Py_DECREF(name);
    }
}

/* RuntimeError for an instance that is exclusively borrowed. */
KESTRINE__COLD static void kestrine__already_borrowed(void) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

/* Whether `obj` may be read as an instance of class `kind` whose borrow
 * flag lies `offset` bytes in: 1, or 0 with the reader's exception set. */
static inline int kestrine__enter(PyObject *obj, int kind, size_t offset) {
    if (Py_TYPE(obj) != kestrine__types[kind]) {
        kestrine__refuse(obj, kind);
        return 0;
    }
    if (KESTRINE__LOAD((const uintptr_t *)((const char *)obj + offset)) == KESTRINE__EXCLUSIVE) {
        kestrine__already_borrowed();
        return 0;
    }
    return 1;
}

#define KESTRINE__RADIAL_READER(name, KIND)                                          \
    static inline int kestrine_read_##name(PyObject *obj, kestrine_radial *out) {      \
        const kestrine_radial_object *self = (const kestrine_radial_object *)obj;     \
        if (!kestrine__enter(obj, KIND, offsetof(kestrine_radial_object, borrow_flag)))     \
            return -1;                                                                \
        out->radius = self->radius;                                                   \
        out->half_length = self->half_length;                                         \
        return 0;                                                                     \
    }

/* Each reader: 0 with the stored values in *out, or -1 with TypeError (not
 * an instance of that class) or RuntimeError (exclusively borrowed) set. */
KESTRINE__RADIAL_READER(capsule, KESTRINE_CAPSULE)
KESTRINE__RADIAL_READER(cone, KESTRINE_CONE)
KESTRINE__RADIAL_READER(cylinder, KESTRINE_CYLINDER)

static inline int kestrine_read_cuboid(PyObject *obj, kestrine_cuboid *out) {
    const kestrine_cuboid_object *self = (const kestrine_cuboid_object *)obj;
    if (!kestrine__enter(obj, KESTRINE_CUBOID, offsetof(kestrine_cuboid_object, borrow_flag)))
        return -1;
    out->half_extents[0] = self->half_extents[0];
    out->half_extents[1] = self->half_extents[1];
    out->half_extents[2] = self->half_extents[2];
    return 0;
}

static inline int kestrine_read_sphere(PyObject *obj, kestrine_sphere *out) {
    const kestrine_sphere_object *self = (const kestrine_sphere_object *)obj;
    if (!kestrine__enter(obj, KESTRINE_SPHERE, offsetof(kestrine_sphere_object, borrow_flag)))
        return -1;
    out->radius = self->radius;
    return 0;
}

static inline int kestrine_read_mesh(PyObject *obj, kestrine_mesh *out) {
    const kestrine_mesh_object *self = (const kestrine_mesh_object *)obj;
    if (!kestrine__enter(obj, KESTRINE_PYMESH, offsetof(kestrine_mesh_object, borrow_flag)))
        return -1;
    out->length = self->path_length;
    out->utf8 = self->path_length > KESTRINE_PATH_INLINE ? self->path.heap : self->path.bytes;
    return 0;
}

#endif /* KESTRINE_LAYOUT_ONLY */

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- C++: kestrine::extract<kestrine::Cylinder>(obj) ------------------- */
#if defined(KESTRINE__CPP17) && !defined(KESTRINE_LAYOUT_ONLY)
namespace kestrine {

struct Capsule {
    float radius, half_length;
};
struct Cone {
    float radius, half_length;
};
struct Cylinder {
    float radius, half_length;
};
struct Cuboid {
    float half_extents[3];
};
struct Sphere {
    float radius;
};
struct PyMesh {
    std::string_view path;  // UTF-8, valid while the instance lives
};

namespace detail {
static inline bool read(PyObject *obj, Capsule &out) {
    kestrine_radial v;
    return kestrine_read_capsule(obj, &v) == 0 && ((out = Capsule{v.radius, v.half_length}), true);
}
static inline bool read(PyObject *obj, Cone &out) {
    kestrine_radial v;
    return kestrine_read_cone(obj, &v) == 0 && ((out = Cone{v.radius, v.half_length}), true);
}
static inline bool read(PyObject *obj, Cylinder &out) {
    kestrine_radial v;
    return kestrine_read_cylinder(obj, &v) == 0 && ((out = Cylinder{v.radius, v.half_length}), true);
}
static inline bool read(PyObject *obj, Cuboid &out) {
    kestrine_cuboid v;
    return kestrine_read_cuboid(obj, &v) == 0 &&
           ((out = Cuboid{{v.half_extents[0], v.half_extents[1], v.half_extents[2]}}), true);
}
static inline bool read(PyObject *obj, Sphere &out) {
    kestrine_sphere v;
    return kestrine_read_sphere(obj, &v) == 0 && ((out = Sphere{v.radius}), true);
}
static inline bool read(PyObject *obj, PyMesh &out) {
    kestrine_mesh v;
    return kestrine_read_mesh(obj, &v) == 0 && ((out = PyMesh{std::string_view(v.utf8, v.length)}), true);
}
}  // namespace detail

// The stored values of `obj` as a T, or nullopt with the reader's Python
// exception set.
template <class T>
static inline std::optional<T> extract(PyObject *obj) {
    T value{};
    if (!detail::read(obj, value))
        return std::nullopt;
    return value;
}

}  // namespace kestrine
#endif

#endif /* KESTRINE_KESTRINE_H */
