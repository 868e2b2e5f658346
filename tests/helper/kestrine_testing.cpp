// Test-only module: reaches the parts of the binding layer that no product
// class reaches. Never installed by a normal build.
#include <Python.h>

#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/module.hpp"
#include "binding/pyclass.hpp"

namespace kt {
using namespace kestrine::binding;

// ---- classes -------------------------------------------------------------

extern LazyTypeObject cell_class;

struct Cell {
    float value;
};

// Its payload release faults, with the payload kind chosen at construction.
struct FaultyDealloc {
    int kind;
    FaultyDealloc(int k) : kind(k) {}
    FaultyDealloc(FaultyDealloc &&other) noexcept : kind(std::exchange(other.kind, -1)) {}
    ~FaultyDealloc() noexcept(false) {
        switch (kind) {
        case 0: panic("owned fault in dealloc");
        case 1: panic_static("static fault in dealloc");
        case 2: panic_opaque(OpaquePayload{7});
        default: break;
        }
    }
};

Result<int> extract_int(PyObject *obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred())
        return err(PyErr::fetch());
    return static_cast<int>(v);
}

constexpr std::string_view cell_params[] = {"value"};
constexpr FunctionDescription cell_new_args{"Cell", "__new__", cell_params, 0, 1, {}};
constexpr std::string_view faulty_params[] = {"kind"};
constexpr FunctionDescription faulty_new_args{"FaultyDealloc", "__new__", faulty_params, 0, 1, {}};

Cell make_cell(float v) { return Cell{v}; }
FaultyDealloc make_faulty(int k) { return FaultyDealloc(k); }
// Cell binds through tp_new only; FaultyDealloc through both entries.
PyObject *cell_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) {
    return Constructor<make_cell, cell_new_args, extract_f32>::tp_new(cls, args, kwargs);
}
using FaultyNew = Constructor<make_faulty, faulty_new_args, extract_int>;
PyObject *faulty_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) {
    return FaultyNew::tp_new(cls, args, kwargs);
}

Result<Owned> cell_value(const Cell &c) { return f32_into_py(c.value); }

const ClassItem cell_items[] = {
    type_slot(Py_tp_new, cell_new),
    PyMethodDef{"value", method_noargs<Cell, cell_value, cell_class>, METH_NOARGS,
                "value($self)\n--\n\nThe stored value."},
    PropertyItem{"prop", property_getter<Cell, cell_value, cell_class>, nullptr, "first doc"},
    PropertyItem{"prop", nullptr, nullptr, "second doc"},
};
const ClassDescriptor cell_descriptor = class_descriptor<Cell>("Cell", "(value)", "A test cell.", cell_items);
LazyTypeObject cell_class{cell_descriptor};

const ClassItem faulty_items[] = {type_slot(Py_tp_new, faulty_new)};
const ClassDescriptor faulty_descriptor =
    class_descriptor<FaultyDealloc>("FaultyDealloc", nullptr, "Faults when released.", faulty_items,
                                    FaultyNew::vectorcall);
LazyTypeObject faulty_class{faulty_descriptor};

using namespace std::string_view_literals;
const ClassDescriptor nul_doc_descriptor =
    class_descriptor<Cell>("NulDoc", "(value)", "a\0b"sv, cell_items);
LazyTypeObject nul_doc_class{nul_doc_descriptor};

const ClassDescriptor unsigned_descriptor =
    class_descriptor<Cell>("NoSignature", nullptr, "Only a body.", cell_items);
LazyTypeObject unsigned_class{unsigned_descriptor};

// ---- module records for registration scenarios ---------------------------

struct Scenario {
    PyObject *prepare = nullptr;  // borrowed for the duration of one init
    bool bad_class = false;
};
Scenario scenario;

Status scenario_body(PyObject *module) {
    if (scenario.prepare) {
        Owned r = Owned::steal(PyObject_CallOneArg(scenario.prepare, module));
        if (!r)
            return err(PyErr::fetch());
    }
    LazyTypeObject *good[] = {&cell_class, &unsigned_class};
    LazyTypeObject *bad[] = {&cell_class, &nul_doc_class, &unsigned_class};
    return scenario.bad_class ? register_classes(module, bad) : register_classes(module, good);
}

constexpr int kRecords = 8;
ModuleRecord records[kRecords] = {
#define KT_RECORD {.def = {PyModuleDef_HEAD_INIT, "kestrine_testing.scenario", "A scenario.", 0, nullptr, nullptr, nullptr, nullptr, nullptr}, .body = scenario_body}
    KT_RECORD, KT_RECORD, KT_RECORD, KT_RECORD, KT_RECORD, KT_RECORD, KT_RECORD, KT_RECORD,
#undef KT_RECORD
};

// ---- module functions ----------------------------------------------------

template <class Body>
PyObject *call(Body &&body) {
    return trampoline(std::forward<Body>(body));
}

Owned none() { return Owned::borrow(Py_None); }

PyObject *hold_count_fn(PyObject *, PyObject *) { return PyLong_FromLong(ReleaseScope::depth()); }

PyObject *raise_fault(PyObject *, PyObject *arg) {
    return call([&]() -> Result<Owned> {
        Result<std::string_view> kind = to_str(arg);
        if (!kind)
            return err(std::move(kind.error()));
        if (*kind == "owned")
            panic("owned fault " + std::to_string(42));
        if (*kind == "static")
            panic_static("static fault");
        if (*kind == "opaque")
            panic_opaque(OpaquePayload{1});
        if (*kind == "bad_alloc")
            throw std::bad_alloc();
        if (*kind == "python_api") {
            PyErr_SetString(PyExc_ValueError, "inner");
            return Owned::steal(ensure(nullptr));
        }
        return err(PyErr(PyExc_ValueError, "unknown fault kind"));
    });
}

PyObject *init_scenario(PyObject *, PyObject *args) {
    int index = 0, bad_class = 0;
    PyObject *prepare = Py_None;
    if (!PyArg_ParseTuple(args, "i|Op", &index, &prepare, &bad_class))
        return nullptr;
    if (index < 0 || index >= kRecords) {
        PyErr_SetString(PyExc_IndexError, "no such record");
        return nullptr;
    }
    scenario = Scenario{prepare == Py_None ? nullptr : prepare, bad_class != 0};
    PyObject *module = module_init(records[index]);
    scenario = Scenario{};
    return module;
}

PyObject *class_object(PyObject *, PyObject *args) {
    const char *which = nullptr;
    int must = 0;
    if (!PyArg_ParseTuple(args, "s|p", &which, &must))
        return nullptr;
    return call([&]() -> Result<Owned> {
        const std::string_view w = which;
        LazyTypeObject &cls = w == "Cell" ? cell_class
                              : w == "NulDoc" ? nul_doc_class
                              : w == "NoSignature" ? unsigned_class
                                                   : faulty_class;
        if (must)
            return Owned::borrow(reinterpret_cast<PyObject *>(cls.get_or_init()));
        Result<PyTypeObject *> type = cls.get_or_try_init();
        if (!type)
            return err(std::move(type.error()));
        return Owned::borrow(reinterpret_cast<PyObject *>(*type));
    });
}

PyObject *lazy_error(PyObject *, PyObject *args) {
    PyObject *type = nullptr;
    const char *message = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &type, &message))
        return nullptr;
    return call([&]() -> Result<Owned> { return err(PyErr(Owned::borrow(type), std::string(message))); });
}

PyObject *downcast_error(PyObject *, PyObject *args) {
    PyObject *obj = nullptr;
    const char *target = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &obj, &target))
        return nullptr;
    // The target must outlive the lazy error; keep a process-lifetime copy.
    static std::vector<std::string> *targets = new std::vector<std::string>();
    return call([&]() -> Result<Owned> {
        const char *kept = targets->emplace_back(target).c_str();
        PyErr e{DowncastError{obj, kept}};
        return err(std::move(e));
    });
}

// Sets `exc` as the current exception and fetches it back through take():
// a PanicException resumes its fault.
PyObject *resume(PyObject *, PyObject *exc) {
    return call([&]() -> Result<Owned> {
        PyErr_SetRaisedException(Py_NewRef(exc));
        std::optional<PyErr> taken = PyErr::take();
        return std::move(*taken).into_value();
    });
}

PyObject *print_error(PyObject *, PyObject *exc) {
    return call([&]() -> Result<Owned> {
        PyErr e = PyErr::from_value(Owned::borrow(exc));
        for (int i = 0; i < 2; ++i) {
            if (Owned interrupt = e.print())
                return err(PyErr::from_value(std::move(interrupt)));
        }
        return std::move(e).into_value();
    });
}

PyObject *write_unraisable(PyObject *, PyObject *args) {
    PyObject *exc = nullptr, *obj = Py_None;
    if (!PyArg_ParseTuple(args, "O|O", &exc, &obj))
        return nullptr;
    return call([&]() -> Result<Owned> {
        Result<std::string> text = display_text(exc);
        if (!text)
            return err(std::move(text.error()));
        PyErr(PyExc_ValueError, std::move(*text)).write_unraisable(obj == Py_None ? nullptr : obj);
        return none();
    });
}

PyObject *with_cause(PyObject *, PyObject *args) {
    const char *message = nullptr;
    PyObject *cause = Py_None;
    if (!PyArg_ParseTuple(args, "s|O", &message, &cause))
        return nullptr;
    return call([&]() -> Result<Owned> {
        PyErr e(PyExc_RuntimeError, std::string(message));
        std::optional<PyErr> c;
        if (cause != Py_None)
            c.emplace(PyErr::from_value(Owned::borrow(cause)));
        e.set_cause(std::move(c));
        PyErr clone = e.clone_ref();
        if (clone.make_normalized() != e.make_normalized())
            return err(PyErr(PyExc_AssertionError, "clone_ref must share the instance"));
        return std::move(e).into_value();
    });
}

// bind(names, positional_only, required, keyword_only, args, kwargs,
//      class_name=None, function_name="f") -> list of bound objects or None
PyObject *bind(PyObject *, PyObject *args) {
    PyObject *names = nullptr, *kwonly = nullptr, *call_args = nullptr, *call_kwargs = nullptr;
    Py_ssize_t posonly = 0, required = 0;
    const char *class_name = nullptr;
    const char *function_name = "f";
    if (!PyArg_ParseTuple(args, "O!nnO!O!O|zs", &PyList_Type, &names, &posonly, &required,
                          &PyList_Type, &kwonly, &PyTuple_Type, &call_args, &call_kwargs,
                          &class_name, &function_name))
        return nullptr;
    return call([&]() -> Result<Owned> {
        std::vector<std::string> storage;
        storage.reserve(static_cast<std::size_t>(PyList_GET_SIZE(names) + PyList_GET_SIZE(kwonly)));
        std::vector<std::string_view> positional;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
            Result<std::string_view> s = to_str(PyList_GET_ITEM(names, i));
            if (!s)
                return err(std::move(s.error()));
            positional.push_back(storage.emplace_back(*s));
        }
        std::vector<KeywordOnlyParameter> keyword_only;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kwonly); ++i) {
            PyObject *item = PyList_GET_ITEM(kwonly, i);
            Result<std::string_view> s = to_str(PyTuple_GetItem(item, 0));
            if (!s)
                return err(std::move(s.error()));
            keyword_only.push_back({storage.emplace_back(*s), PyObject_IsTrue(PyTuple_GetItem(item, 1)) == 1});
        }
        const FunctionDescription desc{class_name, function_name, positional,
                                       static_cast<std::size_t>(posonly),
                                       static_cast<std::size_t>(required), keyword_only};
        std::vector<PyObject *> slots(desc.slot_count(), nullptr);
        if (Status s = extract_arguments_tuple_dict(desc, call_args,
                                                    call_kwargs == Py_None ? nullptr : call_kwargs, slots);
            !s)
            return err(std::move(s.error()));
        Owned out = Owned::steal(ensure(PyList_New(0)));
        for (PyObject *slot : slots)
            PyList_Append(out.get(), slot ? slot : Py_None);
        return out;
    });
}

PyObject *to_f32(PyObject *, PyObject *obj) {
    return call([&]() -> Result<Owned> {
        Result<float> v = extract_f32(obj);
        if (!v)
            return err(std::move(v.error()));
        return f32_into_py(*v);
    });
}

PyObject *to_f32_vec(PyObject *, PyObject *obj) {
    return call([&]() -> Result<Owned> {
        Result<FloatVec> v = extract_f32_vec(obj);
        if (!v)
            return err(std::move(v.error()));
        Owned out = Owned::steal(ensure(PyList_New(0)));
        for (float f : *v)
            PyList_Append(out.get(), f32_into_py(f)->get());
        return out;
    });
}

// Takes each item off the end of `items` and lets go of it, so that the
// call holds its last reference; then makes an empty list to return.
PyObject *drop_in_call(PyObject *, PyObject *items) {
    return call([&]() -> Result<Owned> {
        for (Py_ssize_t n = PyList_GET_SIZE(items); n > 0; n = PyList_GET_SIZE(items)) {
            Owned item = Owned::borrow(PyList_GET_ITEM(items, n - 1));
            if (PyList_SetSlice(items, n - 1, n, nullptr) != 0)
                return err(PyErr::fetch());
        }
        return new_object(PyList_New(0));
    });
}

// Returns (utf8 bytes, has a buffer of its own, text back as str).
PyObject *to_text(PyObject *, PyObject *obj) {
    return call([&]() -> Result<Owned> {
        Result<OwnedText> t = extract_text(obj);
        if (!t)
            return err(std::move(t.error()));
        const std::string_view v = t->view();
        Owned bytes = Owned::steal(ensure(PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()))));
        Result<Owned> back = text_into_py(v);
        if (!back)
            return err(std::move(back.error()));
        return Owned::steal(ensure(Py_BuildValue("(OOO)", bytes.get(), t->on_heap() ? Py_True : Py_False, back->get())));
    });
}

// extract_argument with the float or text conversion, for re-labelling.
PyObject *extract_named(PyObject *, PyObject *args) {
    PyObject *obj = nullptr;
    const char *name = nullptr;
    const char *kind = "float";
    if (!PyArg_ParseTuple(args, "Os|s", &obj, &name, &kind))
        return nullptr;
    return call([&]() -> Result<Owned> {
        if (std::string_view(kind) == "text") {
            Result<OwnedText> t = extract_argument<extract_text>(obj, name);
            if (!t)
                return err(std::move(t.error()));
            return text_into_py(t->view());
        }
        Result<float> v = extract_argument<extract_f32>(obj, name);
        if (!v)
            return err(std::move(v.error()));
        return f32_into_py(*v);
    });
}

PyObject *relabel(PyObject *, PyObject *args) {
    PyObject *exc = nullptr;
    const char *name = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &exc, &name))
        return nullptr;
    return call([&]() -> Result<Owned> {
        return err(argument_extraction_error(name, PyErr::from_value(Owned::borrow(exc))));
    });
}

PyObject *display(PyObject *, PyObject *obj) {
    return call([&]() -> Result<Owned> {
        Result<std::string> text = display_text(obj);
        if (!text)
            return err(std::move(text.error()));
        return text_into_py(*text);
    });
}

PyObject *borrow_flag(PyObject *, PyObject *args) {
    PyObject *obj = nullptr;
    PyObject *set = Py_None;
    if (!PyArg_ParseTuple(args, "O|O", &obj, &set))
        return nullptr;
    return call([&]() -> Result<Owned> {
        if (Status ok = check_receiver(obj, cell_class); !ok)
            return err(std::move(ok.error()));
        auto &flag = instance<Cell>(obj)->borrow_flag;
        if (set != Py_None)
            flag.store(PyLong_AsSize_t(set));
        return Owned::steal(ensure(PyLong_FromSize_t(flag.load())));
    });
}

PyObject *receiver(PyObject *, PyObject *obj) {
    return call([&]() -> Result<Owned> {
        Result<PyRef<Cell>> ref = PyRef<Cell>::extract(obj, cell_class);
        if (!ref)
            return err(std::move(ref.error()));
        return f32_into_py(ref->get().value);
    });
}

// ---- allocation failures -------------------------------------------------

// Fails exactly one allocation, counted across the three domains, while a
// single call runs; nothing else of the interpreter runs in between.
struct FailingAllocator {
    long point = -1;
    long seen = 0;
    PyMemAllocatorEx original[3];
};
FailingAllocator failing;
constexpr PyMemAllocatorDomain kDomains[] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};

bool allocation_fails() { return failing.seen++ == failing.point; }

template <int D>
PyMemAllocatorEx failing_allocator() {
    PyMemAllocatorEx a{};
    a.malloc = [](void *, size_t n) -> void * {
        if (allocation_fails())
            return nullptr;
        return failing.original[D].malloc(failing.original[D].ctx, n);
    };
    a.calloc = [](void *, size_t n, size_t size) -> void * {
        if (allocation_fails())
            return nullptr;
        return failing.original[D].calloc(failing.original[D].ctx, n, size);
    };
    a.realloc = [](void *, void *p, size_t n) -> void * {
        if (allocation_fails())
            return nullptr;
        return failing.original[D].realloc(failing.original[D].ctx, p, n);
    };
    a.free = [](void *, void *p) { failing.original[D].free(failing.original[D].ctx, p); };
    return a;
}

// failing_call(point, fn, args, kwargs) -> (value, exception, allocations)
PyObject *failing_call(PyObject *, PyObject *args) {
    long point = 0;
    PyObject *fn = nullptr, *call_args = nullptr, *call_kwargs = Py_None;
    if (!PyArg_ParseTuple(args, "lOO!|O", &point, &fn, &PyTuple_Type, &call_args, &call_kwargs))
        return nullptr;
    PyMemAllocatorEx hooks[] = {failing_allocator<0>(), failing_allocator<1>(), failing_allocator<2>()};
    failing.point = point;
    failing.seen = 0;
    for (int d = 0; d < 3; ++d) {
        PyMem_GetAllocator(kDomains[d], &failing.original[d]);
        PyMem_SetAllocator(kDomains[d], &hooks[d]);
    }
    PyObject *value = PyObject_Call(fn, call_args, call_kwargs == Py_None ? nullptr : call_kwargs);
    for (int d = 0; d < 3; ++d)
        PyMem_SetAllocator(kDomains[d], &failing.original[d]);
    PyObject *exc = value ? nullptr : PyErr_GetRaisedException();
    if (!value && !exc)
        exc = Py_NewRef(PyExc_SystemError);  // null without an exception: the caller checks
    PyObject *result = Py_BuildValue("(OOl)", value ? value : Py_None, exc ? exc : Py_None, failing.seen);
    Py_XDECREF(value);
    Py_XDECREF(exc);
    return result;
}

PyMethodDef functions[] = {
    {"failing_call", failing_call, METH_VARARGS, "Call with one allocation failing."},
    {"hold_count", hold_count_fn, METH_NOARGS, "Active call boundaries on this thread."},
    {"drop_in_call", drop_in_call, METH_O, "Drop a list's items inside a call."},
    {"raise_fault", raise_fault, METH_O, "Raise an internal fault of the given kind."},
    {"init_scenario", init_scenario, METH_VARARGS, "Run module_init on a scenario record."},
    {"class_object", class_object, METH_VARARGS, "get_or_try_init / get_or_init a test class."},
    {"lazy_error", lazy_error, METH_VARARGS, "Raise a lazy error of an arbitrary type."},
    {"downcast_error", downcast_error, METH_VARARGS, "Raise a DowncastError."},
    {"resume", resume, METH_O, "Restore an exception and take it back."},
    {"print_error", print_error, METH_O, "Print an exception twice through PyErr::print."},
    {"write_unraisable", write_unraisable, METH_VARARGS, "Write a ValueError as unraisable."},
    {"with_cause", with_cause, METH_VARARGS, "A RuntimeError with the given cause."},
    {"bind", bind, METH_VARARGS, "Bind a call against a description."},
    {"to_f32", to_f32, METH_O, "Single-precision conversion, widened back."},
    {"to_f32_vec", to_f32_vec, METH_O, "Vector conversion."},
    {"to_text", to_text, METH_O, "Owned text conversion."},
    {"extract_named", extract_named, METH_VARARGS, "extract_argument with a name."},
    {"relabel", relabel, METH_VARARGS, "argument_extraction_error on an exception."},
    {"display", display, METH_O, "Object display text."},
    {"borrow_flag", borrow_flag, METH_VARARGS, "Read (and optionally set) a Cell's borrow flag."},
    {"receiver", receiver, METH_O, "Extract a Cell receiver and read it."},
    {nullptr, nullptr, 0, nullptr},
};

Status testing_body(PyObject *module) {
    LazyTypeObject *classes[] = {&cell_class, &faulty_class};
    return register_classes(module, classes);
}

ModuleRecord testing_module{
    .def = {PyModuleDef_HEAD_INIT, "kestrine_testing", "Test hooks into kestrine's binding layer.", 0,
            functions, nullptr, nullptr, nullptr, nullptr},
    .body = testing_body,
};

}  // namespace kt

PyMODINIT_FUNC PyInit_kestrine_testing() { return kestrine::binding::module_init(kt::testing_module); }
