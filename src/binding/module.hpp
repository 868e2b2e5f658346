// Single-phase module initialisation with an owner interpreter.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "error.hpp"
#include "pyclass.hpp"

namespace kestrine::binding {

// One per extension module, in static storage, never freed.
struct ModuleRecord {
    PyModuleDef def;
    Status (*body)(PyObject *module);
    std::atomic<std::int64_t> owner_interpreter{-1};
    std::atomic<PyObject *> module{nullptr};
};

// The whole entry point: call from PyInit_<name>.
PyObject *module_init(ModuleRecord &record);

// Registration in table order, stopping at the first error.
Status register_classes(PyObject *module, std::span<LazyTypeObject *const> classes);
Status register_class(PyObject *module, LazyTypeObject &cls);
// Pickle finds a class by its module's name, which for PanicException
// names no module of its own: this puts one holding it in sys.modules,
// unless that name is taken, so that a fault pickles by reference in every
// process that has imported the module calling this.
Status publish_panic_module();
// Puts `name` in __all__, then binds `value` under it.
Status add_value(PyObject *module, PyObject *name, PyObject *value);

}  // namespace kestrine::binding
