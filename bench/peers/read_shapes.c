/*
 * Reading a shape from another extension: a Cylinder's radius and half
 * length read through kestrine's public header (class and borrow flag
 * checked), against the same two fields read straight from the floor's
 * struct after the same class check. Each function stores what it read, so
 * that nothing is optimised away, and returns None.
 *
 *   one_header(c), one_floor(f): one shape per call
 *   all_header(list), all_floor(list): every shape of a list, in one call
 */
#include <kestrine/kestrine.h>

typedef struct {
    PyObject_HEAD
    float radius;
    float half_length;
} FloorRadiusLength; /* floor.c's record of Cylinder */

static PyTypeObject *floor_cylinder;
static volatile float sink;

static inline int read_header(PyObject *obj) {
    kestrine_radial v;
    if (kestrine_read_cylinder(obj, &v) < 0)
        return -1;
    sink = v.radius + v.half_length;
    return 0;
}

static inline int read_floor(PyObject *obj) {
    if (Py_TYPE(obj) != floor_cylinder) {
        PyErr_SetString(PyExc_TypeError, "not a floor Cylinder");
        return -1;
    }
    sink = ((FloorRadiusLength *)obj)->radius + ((FloorRadiusLength *)obj)->half_length;
    return 0;
}

static PyObject *one_header(PyObject *m, PyObject *obj) {
    (void)m;
    return read_header(obj) < 0 ? NULL : Py_NewRef(Py_None);
}

static PyObject *one_floor(PyObject *m, PyObject *obj) {
    (void)m;
    return read_floor(obj) < 0 ? NULL : Py_NewRef(Py_None);
}

/* A loop per reader, so that each read is inlined into it. */
#define ALL_OF(name, read)                                      \
    static PyObject *name(PyObject *m, PyObject *list) {        \
        Py_ssize_t i;                                           \
        (void)m;                                                \
        if (!PyList_Check(list)) {                              \
            PyErr_SetString(PyExc_TypeError, "a list");         \
            return NULL;                                        \
        }                                                       \
        for (i = 0; i < PyList_GET_SIZE(list); ++i) {           \
            if (read(PyList_GET_ITEM(list, i)) < 0)             \
                return NULL;                                    \
        }                                                       \
        return Py_NewRef(Py_None);                              \
    }

ALL_OF(all_header, read_header)
ALL_OF(all_floor, read_floor)

static PyMethodDef methods[] = {
    {"one_header", one_header, METH_O, NULL},
    {"one_floor", one_floor, METH_O, NULL},
    {"all_header", all_header, METH_O, NULL},
    {"all_floor", all_floor, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "read_shapes", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_read_shapes(void) {
    PyObject *floor;
    if (kestrine_import() < 0)
        return NULL;
    floor = PyImport_ImportModule("floor_shapes");
    if (!floor)
        return NULL;
    floor_cylinder = (PyTypeObject *)PyObject_GetAttrString(floor, "Cylinder");
    Py_DECREF(floor);
    return floor_cylinder ? PyModule_Create(&module) : NULL;
}
