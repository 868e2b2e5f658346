/* The floor: the least a hand-written C type can do for the same calls.
 *
 * The six classes as heap types from PyType_FromSpec whose constructors are
 * vectorcalls (tp_vectorcall set after the type is made): Cylinder, Cone and
 * Capsule(radius, length), Sphere(radius), PyMesh(path) and Cuboid(sides)
 * from any sequence. Arguments are bound by hand with only the checks a
 * correct binding needs. A refused call raises what kestrine raises, with
 * the same message and cause: the interpreter-style binding errors, a
 * conversion TypeError relabelled with the parameter's name, and for a
 * Cuboid with fewer than three sides a report on stderr followed by a
 * PanicException. There is no other error detail, no fault handling beyond
 * that, no subclass support. Builds as module floor_shapes.
 *
 * The classes are not immutable types: kestrine's classes accept attribute
 * assignment, and the interpreter keeps its shortcut for calling a class
 * (a specialised CALL instruction) to immutable ones, which would give the
 * floor a saving kestrine may not take.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef struct {
    PyObject_HEAD
    float radius;
    float half_length;
} RadiusLength; /* Cylinder, Cone, Capsule */

typedef struct {
    PyObject_HEAD
    float radius;
} Sphere;

typedef struct {
    PyObject_HEAD
    char *path;
    Py_ssize_t size;
} Mesh;

typedef struct {
    PyObject_HEAD
    float half_extents[3];
} Cuboid;

static PyObject *radius_length_names[2]; /* "radius", "length", interned */
static PyObject *sphere_names[1];        /* "radius" */
static PyObject *mesh_names[1];          /* "path" */
static PyObject *cuboid_names[1];        /* "sides" */
static PyObject *panic_type;

/* "Cls.__new__() missing 1 required positional argument: 'length'" and
 * the plural form, as the binding phrases it. */
static void missing_arguments(const char *fname, PyObject *const *names, PyObject **out, int n) {
    PyObject *list = PyUnicode_FromString("");
    int missing = 0;
    for (int i = 0; i < n && list != NULL; i++) {
        if (out[i] != NULL)
            continue;
        PyObject *joined = PyUnicode_FromFormat("%U%s'%U'", list, missing ? " and " : "", names[i]);
        Py_SETREF(list, joined);
        missing++;
    }
    if (list == NULL)
        return;
    PyErr_Format(PyExc_TypeError, "%s.__new__() missing %d required positional argument%s: %U", fname,
                 missing, missing == 1 ? "" : "s", list);
    Py_DECREF(list);
}

/* Binds positional and keyword arguments to n named slots in out[].
 * Keyword names are matched by pointer (they are interned in practice),
 * then by value. */
static int bind(const char *fname, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                PyObject *const *names, int n, PyObject **out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s.__new__() takes %d positional arguments but %zd %s given", fname, n,
                     nargs, nargs == 1 ? "was" : "were");
        return -1;
    }
    for (int i = 0; i < n; i++)
        out[i] = i < nargs ? args[i] : NULL;
    if (kwnames != NULL) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            int j = 0;
            while (j < n && key != names[j])
                j++;
            if (j == n) {
                j = 0;
                while (j < n && PyUnicode_Compare(key, names[j]) != 0)
                    j++;
            }
            if (j == n) {
                PyErr_Format(PyExc_TypeError, "%s.__new__() got an unexpected keyword argument '%U'", fname,
                             key);
                return -1;
            }
            if (out[j] != NULL) {
                PyErr_Format(PyExc_TypeError, "%s.__new__() got multiple values for argument '%U'", fname,
                             key);
                return -1;
            }
            out[j] = args[nargs + k];
        }
    }
    for (int i = 0; i < n; i++) {
        if (out[i] == NULL) {
            missing_arguments(fname, names, out, n);
            return -1;
        }
    }
    return 0;
}

/* A TypeError from converting argument `name` becomes "argument 'name':
 * <message>", keeping the original's cause; other exceptions pass as they
 * are. */
static void relabel(const char *name) {
    PyObject *inner = PyErr_GetRaisedException();
    if (Py_TYPE(inner) != (PyTypeObject *)PyExc_TypeError) {
        PyErr_SetRaisedException(inner);
        return;
    }
    PyObject *message = PyUnicode_FromFormat("argument '%s': %S", name, inner);
    PyObject *outer = message ? PyObject_CallOneArg(PyExc_TypeError, message) : NULL;
    Py_XDECREF(message);
    if (outer != NULL) {
        PyException_SetCause(outer, PyException_GetCause(inner));
        PyErr_SetRaisedException(outer);
    }
    Py_DECREF(inner);
}

static inline int as_float(PyObject *obj, float *out) {
    double value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        return -1;
    *out = (float)value;
    return 0;
}

static inline int arg_float(PyObject *obj, const char *name, float *out) {
    if (as_float(obj, out) < 0) {
        relabel(name);
        return -1;
    }
    return 0;
}

static void plain_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

/* ---- Cylinder, Cone, Capsule ---- */

static PyObject *make_radius_length(PyTypeObject *type, float radius, float length) {
    RadiusLength *self = PyObject_New(RadiusLength, type);
    if (self == NULL)
        return NULL;
    self->radius = radius;
    self->half_length = length * 0.5f;
    return (PyObject *)self;
}

static PyObject *radius_length_call(const char *fname, PyObject *type, PyObject *const *args,
                                    size_t nargsf, PyObject *kwnames) {
    PyObject *bound[2];
    float radius, length;
    if (bind(fname, args, nargsf, kwnames, radius_length_names, 2, bound) < 0 ||
        arg_float(bound[0], "radius", &radius) < 0 || arg_float(bound[1], "length", &length) < 0)
        return NULL;
    return make_radius_length((PyTypeObject *)type, radius, length);
}

#define RADIUS_LENGTH_VECTORCALL(fn, name)                                                          \
    static PyObject *fn(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {  \
        return radius_length_call(name, type, args, nargsf, kwnames);                               \
    }
RADIUS_LENGTH_VECTORCALL(cylinder_vectorcall, "Cylinder")
RADIUS_LENGTH_VECTORCALL(cone_vectorcall, "Cone")
RADIUS_LENGTH_VECTORCALL(capsule_vectorcall, "Capsule")

/* Only reached through Cls.__new__(Cls, ...); calls use the vectorcall. */
static PyObject *radius_length_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"radius", "length", NULL};
    float radius, length;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ff", kwlist, &radius, &length))
        return NULL;
    return make_radius_length(type, radius, length);
}

static PyObject *radius_length_radius(PyObject *self, PyObject *unused) {
    return PyFloat_FromDouble(((RadiusLength *)self)->radius);
}

static PyObject *radius_length_half_length(PyObject *self, PyObject *unused) {
    return PyFloat_FromDouble(((RadiusLength *)self)->half_length);
}

static PyMethodDef radius_length_methods[] = {
    {"radius", radius_length_radius, METH_NOARGS, NULL},
    {"half_length", radius_length_half_length, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot radius_length_slots[] = {
    {Py_tp_new, radius_length_new},
    {Py_tp_dealloc, plain_dealloc},
    {Py_tp_methods, radius_length_methods},
    {0, NULL},
};

/* Capsule has no accessors. */
static PyType_Slot capsule_slots[] = {
    {Py_tp_new, radius_length_new},
    {Py_tp_dealloc, plain_dealloc},
    {0, NULL},
};

#define RADIUS_LENGTH_SPEC(var, qualname, slot_table)                                               \
    static PyType_Spec var = {                                                                      \
        .name = qualname,                                                                           \
        .basicsize = sizeof(RadiusLength),                                                          \
        .flags = Py_TPFLAGS_DEFAULT,                                     \
        .slots = slot_table,                                                                        \
    }
RADIUS_LENGTH_SPEC(cylinder_spec, "floor_shapes.Cylinder", radius_length_slots);
RADIUS_LENGTH_SPEC(cone_spec, "floor_shapes.Cone", radius_length_slots);
RADIUS_LENGTH_SPEC(capsule_spec, "floor_shapes.Capsule", capsule_slots);

/* ---- Sphere ---- */

static PyObject *make_sphere(PyTypeObject *type, float radius) {
    Sphere *self = PyObject_New(Sphere, type);
    if (self == NULL)
        return NULL;
    self->radius = radius;
    return (PyObject *)self;
}

static PyObject *sphere_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *bound[1];
    float radius;
    if (bind("Sphere", args, nargsf, kwnames, sphere_names, 1, bound) < 0 ||
        arg_float(bound[0], "radius", &radius) < 0)
        return NULL;
    return make_sphere((PyTypeObject *)type, radius);
}

static PyObject *sphere_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"radius", NULL};
    float radius;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "f", kwlist, &radius))
        return NULL;
    return make_sphere(type, radius);
}

static PyType_Slot sphere_slots[] = {
    {Py_tp_new, sphere_new},
    {Py_tp_dealloc, plain_dealloc},
    {0, NULL},
};

static PyType_Spec sphere_spec = {
    .name = "floor_shapes.Sphere",
    .basicsize = sizeof(Sphere),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = sphere_slots,
};

/* ---- PyMesh ---- */

static PyObject *make_mesh(PyTypeObject *type, PyObject *path) {
    if (!PyUnicode_Check(path)) {
        PyErr_Format(PyExc_TypeError, "argument 'path': '%s' object cannot be converted to 'PyString'",
                     Py_TYPE(path)->tp_name);
        return NULL;
    }
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (utf8 == NULL)
        return NULL;
    char *copy = PyMem_Malloc((size_t)size + 1);
    if (copy == NULL)
        return PyErr_NoMemory();
    memcpy(copy, utf8, (size_t)size + 1);
    Mesh *self = PyObject_New(Mesh, type);
    if (self == NULL) {
        PyMem_Free(copy);
        return NULL;
    }
    self->path = copy;
    self->size = size;
    return (PyObject *)self;
}

static PyObject *mesh_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                                 PyObject *kwnames) {
    PyObject *path;
    if (bind("PyMesh", args, nargsf, kwnames, mesh_names, 1, &path) < 0)
        return NULL;
    return make_mesh((PyTypeObject *)type, path);
}

static PyObject *mesh_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"path", NULL};
    PyObject *path;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:PyMesh", kwlist, &path))
        return NULL;
    return make_mesh(type, path);
}

static void mesh_dealloc(PyObject *self) {
    PyMem_Free(((Mesh *)self)->path);
    plain_dealloc(self);
}

static PyObject *mesh_get_path(PyObject *self, void *closure) {
    Mesh *mesh = (Mesh *)self;
    return PyUnicode_FromStringAndSize(mesh->path, mesh->size);
}

static PyGetSetDef mesh_getset[] = {
    {"mesh_path", mesh_get_path, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot mesh_slots[] = {
    {Py_tp_new, mesh_new},
    {Py_tp_dealloc, mesh_dealloc},
    {Py_tp_getset, mesh_getset},
    {0, NULL},
};

static PyType_Spec mesh_spec = {
    .name = "floor_shapes.PyMesh",
    .basicsize = sizeof(Mesh),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = mesh_slots,
};

/* ---- Cuboid ---- */

/* What kestrine does for a short sequence: a report naming the thread and
 * the failed read, then a PanicException with the same message. */
static void short_cuboid(Py_ssize_t len) {
    char message[96];
    snprintf(message, sizeof message, "index out of bounds: the len is %zd but the index is %zd", len, len);
    const char *thread = syscall(SYS_gettid) == getpid() ? "main" : "<unnamed>";
    /* Through sys.stderr and flushed, as kestrine writes its report. */
    PySys_WriteStderr("\nthread '%s' panicked at src/shape/py_cuboid.cpp:%d:%d:\n%s\n", thread,
                      len == 0 ? 16 : len == 1 ? 17 : 18, 40, message);
    PyObject *err = PySys_GetObject("stderr");
    PyObject *flushed = err ? PyObject_CallMethod(err, "flush", NULL) : NULL;
    if (flushed == NULL)
        PyErr_Clear();
    Py_XDECREF(flushed);
    PyObject *args = Py_BuildValue("(s)", message);
    if (args != NULL) {
        PyErr_SetObject(panic_type, args);
        Py_DECREF(args);
    }
}

/* Every side is converted before the count is looked at. */
static PyObject *make_cuboid(PyTypeObject *type, PyObject *sides) {
    if (PyUnicode_Check(sides)) {
        PyErr_SetString(PyExc_TypeError, "argument 'sides': Can't extract `str` to `Vec`");
        return NULL;
    }
    PyObject *fast = PySequence_Fast(sides, "argument 'sides': not a sequence");
    if (fast == NULL)
        return NULL;
    float half[3];
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    PyObject **items = PySequence_Fast_ITEMS(fast);
    for (Py_ssize_t i = 0; i < n; i++) {
        float value;
        if (arg_float(items[i], "sides", &value) < 0) {
            Py_DECREF(fast);
            return NULL;
        }
        if (i < 3)
            half[i] = value * 0.5f;
    }
    Py_DECREF(fast);
    if (n < 3) {
        short_cuboid(n);
        return NULL;
    }
    Cuboid *self = PyObject_New(Cuboid, type);
    if (self == NULL)
        return NULL;
    memcpy(self->half_extents, half, sizeof half);
    return (PyObject *)self;
}

static PyObject *cuboid_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                                   PyObject *kwnames) {
    PyObject *sides;
    if (bind("Cuboid", args, nargsf, kwnames, cuboid_names, 1, &sides) < 0)
        return NULL;
    return make_cuboid((PyTypeObject *)type, sides);
}

static PyObject *cuboid_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"sides", NULL};
    PyObject *sides;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Cuboid", kwlist, &sides))
        return NULL;
    return make_cuboid(type, sides);
}

static PyType_Slot cuboid_slots[] = {
    {Py_tp_new, cuboid_new},
    {Py_tp_dealloc, plain_dealloc},
    {0, NULL},
};

static PyType_Spec cuboid_spec = {
    .name = "floor_shapes.Cuboid",
    .basicsize = sizeof(Cuboid),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = cuboid_slots,
};

/* ---- module ---- */

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "floor_shapes",
    .m_doc = "Hand-written floor types for the kestrine benchmark.",
    .m_size = -1,
};

static int add_type(PyObject *module, PyType_Spec *spec, vectorcallfunc vectorcall) {
    PyObject *type = PyType_FromSpec(spec);
    if (type == NULL)
        return -1;
    ((PyTypeObject *)type)->tp_vectorcall = vectorcall;
    const char *name = strrchr(spec->name, '.') + 1;
    int result = PyModule_AddObjectRef(module, name, type);
    Py_DECREF(type);
    return result;
}

PyMODINIT_FUNC PyInit_floor_shapes(void) {
    radius_length_names[0] = sphere_names[0] = PyUnicode_InternFromString("radius");
    radius_length_names[1] = PyUnicode_InternFromString("length");
    mesh_names[0] = PyUnicode_InternFromString("path");
    cuboid_names[0] = PyUnicode_InternFromString("sides");
    if (!radius_length_names[0] || !radius_length_names[1] || !mesh_names[0] || !cuboid_names[0])
        return NULL;
    panic_type = PyErr_NewException("floor_shapes.PanicException", PyExc_BaseException, NULL);
    if (panic_type == NULL)
        return NULL;
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    if (add_type(module, &capsule_spec, capsule_vectorcall) < 0 ||
        add_type(module, &cone_spec, cone_vectorcall) < 0 ||
        add_type(module, &cuboid_spec, cuboid_vectorcall) < 0 ||
        add_type(module, &cylinder_spec, cylinder_vectorcall) < 0 ||
        add_type(module, &sphere_spec, sphere_vectorcall) < 0 ||
        add_type(module, &mesh_spec, mesh_vectorcall) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
