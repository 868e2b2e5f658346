#include "pyclass.hpp"

#include <map>
#include <vector>

namespace kestrine::binding {

struct LazyTypeObject::Created {
    PyClassTypeObject object;
};

namespace {

struct Property {
    const char *name = nullptr;  // static, like every descriptor text
    getter get = nullptr;
    setter set = nullptr;
    const char *doc = nullptr;
};

// Collects the (slot, pointer) pairs and tables for one PyType_FromSpec.
class PyTypeBuilder {
public:
    void push_slot(int id, void *pfunc) {
        if (id == Py_tp_traverse)
            flags_ |= Py_TPFLAGS_HAVE_GC;
        slots_.push_back(PyType_Slot{id, pfunc});
    }

    void add_item(const ClassItem &item) {
        if (const auto *slot = std::get_if<PyType_Slot>(&item))
            push_slot(slot->slot, slot->pfunc);
        else if (const auto *method = std::get_if<PyMethodDef>(&item))
            methods_.push_back(*method);
        else if (const auto *constructor = std::get_if<NewItem>(&item)) {
            push_slot(Py_tp_new, reinterpret_cast<void *>(constructor->tp_new));
            dunder_new_ = constructor->dunder_new;
        } else
            add_property(std::get<PropertyItem>(item));
    }

    Result<PyClassTypeObject> build(const ClassDescriptor &d) && {
        PyClassTypeObject result;
        if (!methods_.empty()) {
            result.methods = std::make_unique<PyMethodDef[]>(methods_.size() + 1);
            std::copy(methods_.begin(), methods_.end(), result.methods.get());
            push_slot(Py_tp_methods, result.methods.get());
        }
        if (!properties_.empty()) {
            result.getset = std::make_unique<PyGetSetDef[]>(properties_.size() + 1);
            std::size_t i = 0;
            for (const auto &[name, p] : properties_)
                result.getset[i++] = PyGetSetDef{p.name, p.get, p.set, p.doc, nullptr};
            push_slot(Py_tp_getset, result.getset.get());
        }
        push_slot(Py_tp_base, &PyBaseObject_Type);
        // `object` is not collected, so only a traverse slot asks for the
        // collecting deallocator, and no descriptor here has one.
        push_slot(Py_tp_dealloc, reinterpret_cast<void *>(d.dealloc));
        slots_.push_back(PyType_Slot{0, nullptr});

        const std::string qualified = std::string("builtins.") + d.name;
        PyType_Spec spec{qualified.c_str(), static_cast<int>(d.basicsize), 0,
                         static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | flags_), slots_.data()};
        result.type = Owned::steal(PyType_FromSpec(&spec));
        if (!result.type)
            return err(PyErr::fetch());
        // There is no type slot for it: Cls(...) reads it from the class.
        reinterpret_cast<PyTypeObject *>(result.type.get())->tp_vectorcall = d.vectorcall;
        if (dunder_new_) {
            if (Status installed = install_dunder_new(result); !installed)
                return err(std::move(installed.error()));
        }
        return result;
    }

private:
    void add_property(const PropertyItem &item) {
        Property &p = properties_[item.name];
        p.name = item.name;
        if (item.get)
            p.get = item.get;
        if (item.set)
            p.set = item.set;
        if (!p.doc)
            p.doc = item.doc;
    }

    // In place of the interpreter's wrapper, with its signature and doc;
    // set in the class dict directly, which leaves the slot alone.
    Status install_dunder_new(PyClassTypeObject &result) {
        result.dunder_new = std::make_unique<PyMethodDef>(PyMethodDef{
            "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dunder_new_)),
            METH_VARARGS | METH_KEYWORDS, kNewDoc});
        auto *type = reinterpret_cast<PyTypeObject *>(result.type.get());
        Owned function = Owned::steal(PyCFunction_NewEx(result.dunder_new.get(), result.type.get(), nullptr));
        if (!function || PyDict_SetItemString(type->tp_dict, "__new__", function.get()) < 0)
            return err(PyErr::fetch());
        PyType_Modified(type);
        return {};
    }

    static constexpr const char *kNewDoc =
        "__new__($type, *args, **kwargs)\n--\n\n"
        "Create and return a new object.  See help(type) for accurate signature.";

    PyCFunctionWithKeywords dunder_new_ = nullptr;
    std::vector<PyType_Slot> slots_;
    std::vector<PyMethodDef> methods_;
    std::map<std::string_view, Property> properties_;
    unsigned long flags_ = 0;
};

PyErr wrap_in_runtime_error(const ClassDescriptor &d, PyErr cause) {
    PyErr wrapped(PyExc_RuntimeError,
                  std::string("An error occurred while initializing class ") + d.name);
    wrapped.set_cause(std::move(cause));
    return wrapped;
}

void free_instance(PyObject *self, PyTypeObject *type) {
    freefunc tp_free = type->tp_free;
    if (!tp_free)
        panic_without_tp_free();
    {
        Owned hold_type = Owned::borrow(reinterpret_cast<PyObject *>(type));
        Owned hold_base = Owned::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
        tp_free(self);
    }
    Py_DECREF(type);
}

}  // namespace

Result<std::string> build_pyclass_doc(std::string_view name, std::string_view doc,
                                      const char *text_signature) {
    std::string text;
    if (text_signature) {
        text.append(name).append(text_signature).append("\n--\n\n").append(doc);
    } else {
        text.assign(doc);
    }
    if (text.find('\0') != std::string::npos)
        return err(PyErr(PyExc_ValueError, "class doc cannot contain nul bytes"));
    return text;
}

Result<PyClassTypeObject> create_type_object(const ClassDescriptor &d, std::string_view doc) {
    PyTypeBuilder builder;
    if (!doc.empty())
        builder.push_slot(Py_tp_doc, const_cast<char *>(doc.data()));
    for (const ClassItem &item : d.items)
        builder.add_item(item);
    return std::move(builder).build(d);
}

Result<std::string_view> LazyTypeObject::docstring() {
    if (const std::string *doc = doc_.load(std::memory_order_acquire))
        return *doc;
    Result<std::string> built =
        build_pyclass_doc(descriptor_.name, descriptor_.doc, descriptor_.text_signature);
    if (!built)
        return err(std::move(built.error()));
    auto fresh = std::make_unique<std::string>(std::move(*built));
    const std::string *expected = nullptr;
    if (doc_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel))
        return *fresh.release();
    return *expected;
}

Result<PyTypeObject *> LazyTypeObject::get_or_try_init() {
    if (Created *done = created_.load(std::memory_order_acquire)) [[likely]]
        return reinterpret_cast<PyTypeObject *>(done->object.type.get());
    Result<std::string_view> doc = docstring();
    Result<PyClassTypeObject> made = doc ? create_type_object(descriptor_, *doc)
                                         : Result<PyClassTypeObject>(err(std::move(doc.error())));
    if (!made)
        return err(wrap_in_runtime_error(descriptor_, std::move(made.error())));
    auto fresh = std::make_unique<Created>(Created{std::move(*made)});
    Created *expected = nullptr;
    if (created_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel))
        expected = fresh.release();
    auto *type = reinterpret_cast<PyTypeObject *>(expected->object.type.get());
    type_.store(type, std::memory_order_release);
    return type;
}

PyTypeObject *LazyTypeObject::get_or_init() {
    Result<PyTypeObject *> type = get_or_try_init();
    if (!type) [[unlikely]] {
        Owned interrupt = type.error().print();
        panic_after(std::move(interrupt), std::string("failed to create type object for ") + descriptor_.name);
    }
    return *type;
}

Result<Owned> allocation_failed() { return err(PyErr::fetch()); }

void panic_without_tp_free() { panic_static("PyBaseObject_Type should have tp_free"); }

void dealloc_instance(PyObject *self, void (*release)(PyObject *)) {
    PyTypeObject *type = Py_TYPE(self);
    if (release) {
        try {
            release(self);
        } catch (...) {
            // The payload is beyond saving, but its memory is not.
            free_instance(self, type);
            throw;
        }
    }
    free_instance(self, type);
}

Status check_receiver_slow(PyObject *obj, LazyTypeObject &cls) {
    PyTypeObject *type = cls.get_or_init();
    if (Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type)) [[likely]]
        return {};
    return err(DowncastError{obj, cls.descriptor().name});
}

PyObject *call_as_type(PyObject *cls, PyObject *const *args, std::size_t nargsf,
                       PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Owned tuple = Owned::steal(PyTuple_New(nargs));
    if (!tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Owned kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        kwargs = Owned::steal(PyDict_New());
        if (!kwargs)
            return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
        }
    }
    // Outside any boundary: the tuple and the dict are dropped here.
    PyObject *result = PyType_Type.tp_call(cls, tuple.get(), kwargs.get());
    tuple.reset();
    kwargs.reset();
    return result;
}

PyTypeObject *new_subtype(PyObject *cls, PyObject *args) {
    const char *name = reinterpret_cast<PyTypeObject *>(cls)->tp_name;
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(): not enough arguments", name);
        return nullptr;
    }
    PyObject *arg = PyTuple_GET_ITEM(args, 0);
    if (!PyType_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a type object (%s)", name,
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    auto *subtype = reinterpret_cast<PyTypeObject *>(arg);
    if (!PyType_IsSubtype(subtype, reinterpret_cast<PyTypeObject *>(cls))) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", name, subtype->tp_name,
                     subtype->tp_name, name);
        return nullptr;
    }
    return subtype;
}

bool own_new_in_place(PyTypeObject *cls, newfunc own, PyCFunctionWithKeywords dunder_new) {
    PyObject *current = PyDict_GetItemString(cls->tp_dict, "__new__");  // borrowed, no error
    if (!current || !PyCFunction_Check(current) || PyCFunction_GET_SELF(current) != reinterpret_cast<PyObject *>(cls) ||
        PyCFunction_GET_FUNCTION(current) != reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dunder_new)))
        return false;
    cls->tp_new = own;
    return true;
}

PyErr already_mutably_borrowed() { return PyErr(PyExc_RuntimeError, "Already mutably borrowed"); }

}  // namespace kestrine::binding
