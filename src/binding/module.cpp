#include "module.hpp"

#include <string>

#include "boundary.hpp"

namespace kestrine::binding {
namespace {

PyObject *interned_all() {
    static PyObject *const name = ensure(PyUnicode_InternFromString("__all__"));
    return name;
}

Status check_owner(ModuleRecord &record) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return err(PyErr::fetch());
    std::int64_t owner = -1;
    if (!record.owner_interpreter.compare_exchange_strong(owner, id) && owner != id)
        return err(PyErr(PyExc_ImportError,
                         "kestrine: modules do not yet support subinterpreters, see "
                         "the README's section on interpreters"));
    return {};
}

Result<Owned> build_module(ModuleRecord &record) {
    Owned module = Owned::steal(PyModule_Create2(&record.def, PYTHON_API_VERSION));
    if (!module)
        return err(PyErr::fetch());
    if (Status filled = record.body(module.get()); !filled)
        return err(std::move(filled.error()));
    PyObject *expected = nullptr;
    if (record.module.compare_exchange_strong(expected, module.get()))
        return Owned::borrow(module.release());
    return Owned::borrow(expected);
}

Result<Owned> init_body(ModuleRecord &record) {
    if (Status owned = check_owner(record); !owned)
        return err(std::move(owned.error()));
    if (PyObject *cached = record.module.load(std::memory_order_acquire))
        return Owned::borrow(cached);
    if (!panic_exception_type())
        return err(PyErr::fetch());
    return build_module(record);
}

Result<Owned> all_list(PyObject *module) {
    Owned all = Owned::steal(PyObject_GetAttr(module, interned_all()));
    if (all) {
        if (!PyList_Check(all.get()))
            return err(DowncastError{all.get(), "PyList"});
        return all;
    }
    PyErr lookup = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(lookup.make_normalized(), PyExc_AttributeError))
        return err(std::move(lookup));
    Owned fresh = Owned::steal(ensure(PyList_New(0)));
    if (PyObject_SetAttr(module, interned_all(), fresh.get()) < 0)
        return err(PyErr::fetch());
    return fresh;
}

}  // namespace

PyObject *module_init(ModuleRecord &record) {
    return trampoline([&] { return init_body(record); });
}

Status add_value(PyObject *module, PyObject *name, PyObject *value) {
    {
        Result<Owned> all = all_list(module);
        if (!all)
            return err(std::move(all.error()));
        if (PyList_Append(all->get(), name) < 0) {
            Result<std::string> reason = display_text(PyErr::fetch().make_normalized());
            panic("could not append __name__ to __all__: " + (reason ? *reason : kUnprintable));
        }
    }
    if (PyObject_SetAttr(module, name, value) < 0)
        return err(PyErr::fetch());
    return {};
}

Status register_class(PyObject *module, LazyTypeObject &cls) {
    Result<PyTypeObject *> type = cls.get_or_try_init();
    if (!type)
        return err(std::move(type.error()));
    Owned name = Owned::steal(ensure(PyUnicode_FromString(cls.descriptor().name)));
    return add_value(module, name.get(), reinterpret_cast<PyObject *>(*type));
}

Status publish_panic_module() {
    PyObject *panic = panic_exception_type();
    if (!panic)
        return err(PyErr::fetch());
    Owned name = Owned::steal(PyObject_GetAttrString(panic, "__module__"));
    if (!name)
        return err(PyErr::fetch());
    PyObject *modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, name.get());
    if (present < 0)
        return err(PyErr::fetch());
    if (present)
        return {};
    Owned runtime = Owned::steal(PyModule_NewObject(name.get()));
    if (!runtime)
        return err(PyErr::fetch());
    Owned qualname = Owned::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject *>(panic)));
    if (!qualname || PyObject_SetAttr(runtime.get(), qualname.get(), panic) < 0 ||
        PyDict_SetItem(modules, name.get(), runtime.get()) < 0)
        return err(PyErr::fetch());
    return {};
}

Status register_classes(PyObject *module, std::span<LazyTypeObject *const> classes) {
    for (LazyTypeObject *cls : classes) {
        if (Status added = register_class(module, *cls); !added)
            return added;
    }
    return {};
}

}  // namespace kestrine::binding
