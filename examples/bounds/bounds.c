/* kestrine_bounds: axis-aligned bounding boxes and volumes of kestrine
 * shapes, read through kestrine's public header. Each shape sits at the
 * origin; a Capsule, Cone or Cylinder has its axis along z. */
#include <kestrine/kestrine.h>

#include <math.h>

typedef struct {
    double half[3]; /* the box's half extents */
    double volume;
} Bounds;

static const double kPi = 3.14159265358979323846;

/* 0, or -1 with TypeError for an object that is no primitive shape. */
static int bounds_of(PyObject *shape, Bounds *out) {
    kestrine_radial r;
    kestrine_cuboid c;
    kestrine_sphere s;
    switch (kestrine_kind_of(shape)) {
    case KESTRINE_CAPSULE:
        if (kestrine_read_capsule(shape, &r) < 0)
            return -1;
        *out = (Bounds){{r.radius, r.radius, (double)r.half_length + r.radius},
                        kPi * r.radius * r.radius * (2.0 * r.half_length + 4.0 / 3.0 * r.radius)};
        return 0;
    case KESTRINE_CONE:
        if (kestrine_read_cone(shape, &r) < 0)
            return -1;
        *out = (Bounds){{r.radius, r.radius, r.half_length}, kPi * r.radius * r.radius * 2.0 * r.half_length / 3.0};
        return 0;
    case KESTRINE_CYLINDER:
        if (kestrine_read_cylinder(shape, &r) < 0)
            return -1;
        *out = (Bounds){{r.radius, r.radius, r.half_length}, kPi * r.radius * r.radius * 2.0 * r.half_length};
        return 0;
    case KESTRINE_CUBOID:
        if (kestrine_read_cuboid(shape, &c) < 0)
            return -1;
        *out = (Bounds){{c.half_extents[0], c.half_extents[1], c.half_extents[2]},
                        8.0 * c.half_extents[0] * c.half_extents[1] * c.half_extents[2]};
        return 0;
    case KESTRINE_SPHERE:
        if (kestrine_read_sphere(shape, &s) < 0)
            return -1;
        *out = (Bounds){{s.radius, s.radius, s.radius}, 4.0 / 3.0 * kPi * s.radius * s.radius * s.radius};
        return 0;
    default:
        PyErr_Format(PyExc_TypeError, "not a kestrine primitive shape: '%s'", Py_TYPE(shape)->tp_name);
        return -1;
    }
}

/* bounds(shapes) -> list of ((min x, y, z), (max x, y, z), volume) */
static PyObject *bounds(PyObject *module, PyObject *shapes) {
    PyObject *seq = PySequence_Fast(shapes, "bounds() takes a sequence of shapes");
    PyObject *result = NULL;
    Py_ssize_t i, n;
    (void)module;
    if (!seq)
        return NULL;
    n = PySequence_Fast_GET_SIZE(seq);
    result = PyList_New(n);
    for (i = 0; result && i < n; ++i) {
        Bounds b;
        PyObject *item;
        if (bounds_of(PySequence_Fast_GET_ITEM(seq, i), &b) < 0) {
            Py_CLEAR(result);
            break;
        }
        item = Py_BuildValue("((ddd)(ddd)d)", -b.half[0], -b.half[1], -b.half[2], b.half[0], b.half[1],
                             b.half[2], b.volume);
        if (!item) {
            Py_CLEAR(result);
            break;
        }
        PyList_SET_ITEM(result, i, item);
    }
    Py_DECREF(seq);
    return result;
}

/* total_volume(shapes) -> float, summed natively */
static PyObject *total_volume(PyObject *module, PyObject *shapes) {
    PyObject *seq = PySequence_Fast(shapes, "total_volume() takes a sequence of shapes");
    double total = 0.0;
    Py_ssize_t i;
    (void)module;
    if (!seq)
        return NULL;
    for (i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        Bounds b;
        if (bounds_of(PySequence_Fast_GET_ITEM(seq, i), &b) < 0) {
            Py_DECREF(seq);
            return NULL;
        }
        total += b.volume;
    }
    Py_DECREF(seq);
    return PyFloat_FromDouble(total);
}

static PyMethodDef methods[] = {
    {"bounds", bounds, METH_O, "bounds(shapes)\n--\n\nEach shape's box as (min, max, volume)."},
    {"total_volume", total_volume, METH_O, "total_volume(shapes)\n--\n\nThe shapes' volumes, summed."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "kestrine_bounds",
                                    "Bounding boxes and volumes of kestrine shapes.", -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_kestrine_bounds(void) {
    if (kestrine_import() < 0)
        return NULL;
    return PyModule_Create(&module);
}
