/* The floor: the least a hand-written C type can do for the same calls.
 *
 * Cylinder(radius, length) and PyMesh(path), and Cuboid(sides) from a list or
 * tuple, as heap types from PyType_FromSpec whose constructors are vectorcalls
 * (tp_vectorcall set after the type is made). Arguments are bound by hand
 * with only the checks a correct binding needs; there is no error detail
 * beyond a message, no fault handling, no subclass support. Builds as module
 * floor_shapes.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

typedef struct {
    PyObject_HEAD
    float radius;
    float half_length;
} Cylinder;

typedef struct {
    PyObject_HEAD
    char *path;
    Py_ssize_t size;
} Mesh;

typedef struct {
    PyObject_HEAD
    float half_extents[3];
} Cuboid;

static PyObject *cylinder_names[2]; /* "radius", "length", interned */
static PyObject *mesh_names[1];     /* "path" */
static PyObject *cuboid_names[1];   /* "sides" */

/* Binds positional and keyword arguments to n named slots in out[].
 * Keyword names are matched by pointer (they are interned in practice),
 * then by value. */
static int bind(const char *fname, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                PyObject *const *names, int n, PyObject **out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", fname, n, nargs);
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
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
                return -1;
            }
            if (out[j] != NULL) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
                return -1;
            }
            out[j] = args[nargs + k];
        }
    }
    for (int i = 0; i < n; i++) {
        if (out[i] == NULL) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U'", fname, names[i]);
            return -1;
        }
    }
    return 0;
}

static inline int as_float(PyObject *obj, float *out) {
    double value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        return -1;
    *out = (float)value;
    return 0;
}

static void plain_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

/* ---- Cylinder ---- */

static PyObject *cylinder_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    PyObject *bound[2];
    float radius, length;
    if (bind("Cylinder", args, nargsf, kwnames, cylinder_names, 2, bound) < 0 ||
        as_float(bound[0], &radius) < 0 || as_float(bound[1], &length) < 0)
        return NULL;
    Cylinder *self = PyObject_New(Cylinder, (PyTypeObject *)type);
    if (self == NULL)
        return NULL;
    self->radius = radius;
    self->half_length = length * 0.5f;
    return (PyObject *)self;
}

/* Only reached through Cylinder.__new__(Cylinder, ...); calls use the vectorcall. */
static PyObject *cylinder_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"radius", "length", NULL};
    float radius, length;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ff:Cylinder", kwlist, &radius, &length))
        return NULL;
    Cylinder *self = PyObject_New(Cylinder, type);
    if (self == NULL)
        return NULL;
    self->radius = radius;
    self->half_length = length * 0.5f;
    return (PyObject *)self;
}

static PyObject *cylinder_radius(PyObject *self, PyObject *unused) {
    return PyFloat_FromDouble(((Cylinder *)self)->radius);
}

static PyObject *cylinder_half_length(PyObject *self, PyObject *unused) {
    return PyFloat_FromDouble(((Cylinder *)self)->half_length);
}

static PyMethodDef cylinder_methods[] = {
    {"radius", cylinder_radius, METH_NOARGS, NULL},
    {"half_length", cylinder_half_length, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot cylinder_slots[] = {
    {Py_tp_new, cylinder_new},
    {Py_tp_dealloc, plain_dealloc},
    {Py_tp_methods, cylinder_methods},
    {0, NULL},
};

static PyType_Spec cylinder_spec = {
    .name = "floor_shapes.Cylinder",
    .basicsize = sizeof(Cylinder),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = cylinder_slots,
};

/* ---- PyMesh ---- */

static PyObject *make_mesh(PyTypeObject *type, PyObject *path) {
    if (!PyUnicode_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "PyMesh() argument 'path' must be str");
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
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = mesh_slots,
};

/* ---- Cuboid ---- */

static PyObject *make_cuboid(PyTypeObject *type, PyObject *sides) {
    if (PyUnicode_Check(sides)) {
        PyErr_SetString(PyExc_TypeError, "Cuboid() argument 'sides' must not be str");
        return NULL;
    }
    PyObject *fast = PySequence_Fast(sides, "Cuboid() argument 'sides' must be a sequence");
    if (fast == NULL)
        return NULL;
    float half[3];
    if (PySequence_Fast_GET_SIZE(fast) < 3) {
        PyErr_SetString(PyExc_ValueError, "Cuboid() needs 3 sides");
        Py_DECREF(fast);
        return NULL;
    }
    PyObject **items = PySequence_Fast_ITEMS(fast);
    for (int i = 0; i < 3; i++) {
        if (as_float(items[i], &half[i]) < 0) {
            Py_DECREF(fast);
            return NULL;
        }
        half[i] *= 0.5f;
    }
    Py_DECREF(fast);
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
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
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
    cylinder_names[0] = PyUnicode_InternFromString("radius");
    cylinder_names[1] = PyUnicode_InternFromString("length");
    mesh_names[0] = PyUnicode_InternFromString("path");
    cuboid_names[0] = PyUnicode_InternFromString("sides");
    if (!cylinder_names[0] || !cylinder_names[1] || !mesh_names[0] || !cuboid_names[0])
        return NULL;
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    if (add_type(module, &cylinder_spec, cylinder_vectorcall) < 0 ||
        add_type(module, &mesh_spec, mesh_vectorcall) < 0 ||
        add_type(module, &cuboid_spec, cuboid_vectorcall) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
