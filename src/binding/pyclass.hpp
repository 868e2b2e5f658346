// Class objects built from static descriptors, and the instances they make.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "error.hpp"

namespace kestrine::binding {

// One property accessor; a getter and a setter of the same name are merged
// into one property.
struct PropertyItem {
    const char *name;
    getter get;
    setter set;
    const char *doc;
};

// A constructor: the tp_new slot, and the class's own __new__, which calls
// it directly (see Constructor::dunder_new).
struct NewItem {
    newfunc tp_new;
    PyCFunctionWithKeywords dunder_new;
};

// An entry of a class's item table: a type slot, a method, an accessor or
// the constructor.
using ClassItem = std::variant<PyType_Slot, PyMethodDef, PropertyItem, NewItem>;

template <class Fn>
PyType_Slot type_slot(int id, Fn *fn) noexcept {
    return PyType_Slot{id, reinterpret_cast<void *>(fn)};
}

struct ClassDescriptor {
    const char *name;               // the Python name, e.g. "Cone"
    const char *text_signature;     // e.g. "(radius, length)", or null
    std::string_view doc;           // the doc body
    Py_ssize_t basicsize;           // the whole instance record
    std::span<const ClassItem> items;
    destructor dealloc;             // tp_dealloc<T> of the payload type
    vectorcallfunc vectorcall;      // constructor for Cls(...), or null
};

// The descriptor of a class whose instances carry a `T` payload.
template <class T>
ClassDescriptor class_descriptor(const char *name, const char *text_signature,
                                 std::string_view doc, std::span<const ClassItem> items,
                                 vectorcallfunc vectorcall = nullptr);

// Process-wide, write-once state of one class: its docstring and its class
// object. Neither is ever released.
class LazyTypeObject {
public:
    explicit LazyTypeObject(const ClassDescriptor &descriptor) noexcept : descriptor_(descriptor) {}
    LazyTypeObject(const LazyTypeObject &) = delete;
    LazyTypeObject &operator=(const LazyTypeObject &) = delete;

    const ClassDescriptor &descriptor() const noexcept { return descriptor_; }
    // The class object once it exists, else null; no fault, no creation.
    PyTypeObject *cached() const noexcept { return type_.load(std::memory_order_acquire); }

    Result<PyTypeObject *> get_or_try_init();
    // For callers that cannot return an error: a failure is a fault.
    PyTypeObject *get_or_init();

    Result<std::string_view> docstring();

private:
    struct Created;
    const ClassDescriptor &descriptor_;
    std::atomic<const std::string *> doc_{nullptr};
    std::atomic<Created *> created_{nullptr};
    std::atomic<PyTypeObject *> type_{nullptr};
};

// "Name(sig)\n--\n\nbody" for a class with a text signature.
Result<std::string> build_pyclass_doc(std::string_view name, std::string_view doc,
                                      const char *text_signature);

// The class object for `descriptor` and the tables it points into.
struct PyClassTypeObject {
    Owned type;
    std::unique_ptr<PyMethodDef[]> methods;
    std::unique_ptr<PyGetSetDef[]> getset;
    std::unique_ptr<PyMethodDef> dunder_new;
};
Result<PyClassTypeObject> create_type_object(const ClassDescriptor &descriptor,
                                             std::string_view doc);

// Instance record: header, payload, borrow flag.
//
// A public promise: other extensions read the six classes' records through
// include/kestrine/kestrine.h, without linking to this module. What that
// header declares may change only together with its KESTRINE_LAYOUT_VERSION
// (and then some class's basicsize must change too, which is what an
// installed header checks):
// - this order: the object header, the payload, the borrow flag;
// - the borrow flag: one pointer-sized word, changed only atomically, 0 for
//   no borrow, n for n shared borrows, all ones for an exclusive borrow;
// - each payload's fields, their types, order and meaning (radius and half
//   length; the three half extents; the radius; the path's UTF-8 bytes, inline
//   up to OwnedText::kInline bytes, else in a buffer, and its length);
// - that the classes cannot be subclassed, so a reader compares classes by
//   identity.
// Each class's unit checks its record against the header's at compile time
// (`record_is` and the field offsets below it).
template <class T>
struct PyClassObject {
    PyObject_HEAD
    T contents;
    std::atomic<std::uintptr_t> borrow_flag;
};

// Where a payload begins in the record.
template <class T>
inline constexpr std::size_t payload_offset = offsetof(PyClassObject<T>, contents);

// Whether the record of a `T` class is the public record `Public`: the same
// size and the borrow flag, a plain word, at the same place.
template <class T, class Public>
consteval bool record_is() {
    return std::is_standard_layout_v<PyClassObject<T>> && sizeof(PyClassObject<T>) == sizeof(Public) &&
           offsetof(PyClassObject<T>, borrow_flag) == offsetof(Public, borrow_flag) &&
           sizeof(std::atomic<std::uintptr_t>) == sizeof(std::uintptr_t) &&
           std::atomic<std::uintptr_t>::is_always_lock_free;
}

// Whether the instance record of a `T` class comes to `lp64` bytes on a
// 64-bit build and `ilp32` on a 32-bit one: the sizes classes are known by.
template <class T>
consteval bool instance_size_is(std::size_t lp64, std::size_t ilp32) {
    return sizeof(PyClassObject<T>) == (sizeof(void *) == 8 ? lp64 : ilp32);
}

inline constexpr std::uintptr_t kExclusiveBorrow = ~std::uintptr_t{0};

template <class T>
PyClassObject<T> *instance(PyObject *obj) noexcept {
    return reinterpret_cast<PyClassObject<T> *>(obj);
}

// The pending allocation failure as an error value.
Result<Owned> allocation_failed();

// A new zero-filled instance of `cls` with reference count 1. For a
// fixed-size class the collector does not track, this does what the generic
// allocator would, minus its size arithmetic and calls; `Size` is the
// instance size when the caller knows it at compile time.
template <std::size_t Size = 0>
inline Result<Owned> into_new_object(PyTypeObject *cls) {
    allocfunc alloc = cls->tp_alloc ? cls->tp_alloc : PyType_GenericAlloc;
    if (alloc == PyType_GenericAlloc && !PyType_IS_GC(cls)) [[likely]] {
        const auto size = static_cast<std::size_t>(cls->tp_basicsize);
        if (void *memory = PyObject_Malloc(size)) [[likely]] {
            if (Size == size) [[likely]]
                std::memset(memory, 0, Size);  // a few stores, not a call
            else
                std::memset(memory, 0, size);
            return Owned::steal(PyObject_Init(static_cast<PyObject *>(memory), cls));
        }
        PyErr_NoMemory();
        return allocation_failed();
    }
    if (PyObject *obj = alloc(cls, 0)) [[likely]]
        return Owned::steal(obj);
    return allocation_failed();
}

template <class T>
Result<Owned> new_instance(PyTypeObject *cls, T &&payload) {
    Result<Owned> obj = into_new_object<sizeof(PyClassObject<T>)>(cls);
    if (!obj) [[unlikely]]
        return obj;
    PyClassObject<T> *record = instance<T>(obj->get());
    ::new (&record->contents) T(std::move(payload));
    ::new (&record->borrow_flag) std::atomic<std::uintptr_t>(0);
    return obj;
}

// For a payload whose destructor may fault: releases it with `release`,
// then the instance memory (even after a fault) and the instance's
// reference to its class. Runs inside the unraisable boundary.
void dealloc_instance(PyObject *self, void (*release)(PyObject *));
[[noreturn]] void panic_without_tp_free();

template <class T>
void tp_dealloc(PyObject *self) {
    trampoline_unraisable(
        [self] {
            if constexpr (std::is_nothrow_destructible_v<T>) {
                // Nothing can fault but a missing tp_free. The instance's own
                // reference keeps its class alive through tp_free, and
                // object is immortal: neither needs holding apart.
                std::destroy_at(&instance<T>(self)->contents);
                PyTypeObject *type = Py_TYPE(self);
                if (!type->tp_free) [[unlikely]]
                    panic_without_tp_free();
                type->tp_free(self);
                Py_DECREF(type);
            } else {
                dealloc_instance(self, [](PyObject *obj) { std::destroy_at(&instance<T>(obj)->contents); });
            }
        },
        nullptr);
}

template <class T>
ClassDescriptor class_descriptor(const char *name, const char *text_signature,
                                 std::string_view doc, std::span<const ClassItem> items,
                                 vectorcallfunc vectorcall) {
    return ClassDescriptor{name, text_signature, doc, sizeof(PyClassObject<T>), items,
                           tp_dealloc<T>, vectorcall};
}

// Checks that `obj` is an instance of `cls` (TypeError otherwise). The
// exact class is recognised by one pointer compare.
Status check_receiver_slow(PyObject *obj, LazyTypeObject &cls);
inline Status check_receiver(PyObject *obj, LazyTypeObject &cls) {
    if (Py_TYPE(obj) == cls.cached()) [[likely]]
        return {};
    return check_receiver_slow(obj, cls);
}
PyErr already_mutably_borrowed();

// A receiver with one shared borrow held; dropping it gives both back.
template <class T>
class PyRef {
public:
    static Result<PyRef> extract(PyObject *obj, LazyTypeObject &cls) {
        if (Status ok = check_receiver(obj, cls); !ok) [[unlikely]]
            return err(std::move(ok.error()));
        std::atomic<std::uintptr_t> &flag = instance<T>(obj)->borrow_flag;
        std::uintptr_t seen = flag.load(std::memory_order_relaxed);
        do {
            if (seen == kExclusiveBorrow) [[unlikely]]
                return err(already_mutably_borrowed());
        } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        return PyRef(Owned::borrow(obj));
    }

    PyRef(PyRef &&) noexcept = default;
    PyRef &operator=(PyRef &&) = delete;
    ~PyRef() {
        if (obj_)
            instance<T>(obj_.get())->borrow_flag.fetch_sub(1, std::memory_order_release);
    }

    const T &get() const noexcept { return instance<T>(obj_.get())->contents; }

private:
    explicit PyRef(Owned obj) noexcept : obj_(std::move(obj)) {}
    Owned obj_;
};

// METH_NOARGS entry for a read-only accessor `Read(const T&) -> Owned`.
//
// An accessor only copies payload into a new float or str: it runs no
// Python code and cannot let go of the GIL, so nothing can observe a shared
// borrow while it runs. Taking and giving one back would change nothing; an
// exclusive borrow is still refused, by reading the flag.
template <class T, auto Read, LazyTypeObject &Cls>
[[gnu::noinline, gnu::cold]] PyObject *method_noargs_refused(PyObject *self) {
    return trampoline([self]() -> Result<Owned> {
        if (Status ok = check_receiver(self, Cls); !ok)
            return err(std::move(ok.error()));
        if (instance<T>(self)->borrow_flag.load(std::memory_order_relaxed) == kExclusiveBorrow)
            return err(already_mutably_borrowed());
        return Read(instance<T>(self)->contents);
    });
}

// The receiver's two checks are reads that run no code, so making them
// before the boundary is entered changes nothing; a call that fails either
// is handled apart, which keeps the accessor's frame small.
template <class T, LazyTypeObject &Cls>
[[gnu::always_inline]] inline bool receiver_refused(PyObject *self) {
    return Py_TYPE(self) != Cls.cached() ||
           instance<T>(self)->borrow_flag.load(std::memory_order_relaxed) == kExclusiveBorrow;
}

template <class T, auto Read, LazyTypeObject &Cls>
PyObject *method_noargs(PyObject *self, PyObject *) {
    if (receiver_refused<T, Cls>(self)) [[unlikely]]
        return method_noargs_refused<T, Read, Cls>(self);
    return trampoline([self]() -> Result<Owned> { return Read(instance<T>(self)->contents); });
}

template <class T, float T::*Field>
Result<Owned> read_float(const T &payload) {
    return f32_into_py(payload.*Field);
}

// METH_NOARGS entry for an accessor that widens one payload float. Past the
// receiver's checks it runs nothing of ours: PyFloat_FromDouble cannot fault
// or unwind and sets MemoryError itself, which is what the boundary would
// raise, so the call goes straight to it without entering one.
template <class T, float T::*Field, LazyTypeObject &Cls>
PyObject *float_method(PyObject *self, PyObject *) {
    if (receiver_refused<T, Cls>(self)) [[unlikely]]
        return method_noargs_refused<T, read_float<T, Field>, Cls>(self);
    return PyFloat_FromDouble(static_cast<double>(instance<T>(self)->contents.*Field));
}

// Property getter entry for the same kind of accessor.
template <class T, auto Read, LazyTypeObject &Cls>
PyObject *property_getter(PyObject *self, void *) {
    return method_noargs<T, Read, Cls>(self, nullptr);
}

namespace detail {

constexpr bool every_parameter_required(const FunctionDescription &desc) {
    if (desc.required_positional_count != desc.positional_names.size())
        return false;
    for (const KeywordOnlyParameter &parameter : desc.keyword_only) {
        if (!parameter.required)
            return false;
    }
    return true;
}

template <auto Extract>
using extracted_t = typename decltype(Extract(nullptr))::value_type;

// Converts each bound parameter in declaration order with its Extract and
// builds the payload with `Make`, stopping at the first failure. Each step
// converts one more parameter and passes the ones done so far on by
// reference, so every value is made in place and moved at most into the
// payload; they die on return, before the instance is allocated.
template <auto Make, auto... Extract, class... Done>
[[gnu::always_inline]] inline auto make_payload(std::span<PyObject *const> slots,
                                                std::span<const std::string_view> names,
                                                Done &&...done)
    -> Result<decltype(Make(std::declval<extracted_t<Extract>>()...))> {
    constexpr std::size_t I = sizeof...(Done);
    if constexpr (I == sizeof...(Extract)) {
        return Make(std::move(done)...);
    } else {
        constexpr auto extract = std::get<I>(std::tuple{Extract...});
        auto value = extract_argument<extract>(slots[I], names[I]);
        if (!value) [[unlikely]]
            return err(std::move(value.error()));
        return make_payload<Make, Extract...>(slots, names, std::move(done)..., std::move(*value));
    }
}

}  // namespace detail

// Converts the bound parameters, builds the payload and only then allocates:
// a refused call allocates nothing.
template <auto Make, auto... Extract>
[[gnu::always_inline]] inline Result<Owned> convert_and_allocate(PyTypeObject *cls,
                                                                 const FunctionDescription &desc,
                                                                 std::span<PyObject *const> slots) {
    auto payload = detail::make_payload<Make, Extract...>(slots, desc.positional_names);
    if (!payload) [[unlikely]]
        return err(std::move(payload.error()));
    return new_instance(cls, std::move(*payload));
}

// Cls(...) for a class whose __new__ or __init__ has been assigned: what
// type.__call__ does, given the arguments as a tuple and a dict.
PyObject *call_as_type(PyObject *cls, PyObject *const *args, std::size_t nargsf,
                       PyObject *kwnames);

// Cls.__new__(sub, ...): the subtype that the interpreter's own __new__
// wrapper would accept, with its messages; null with TypeError otherwise.
PyTypeObject *new_subtype(PyObject *cls, PyObject *args);

// Whether `cls` constructs through `own` again. The interpreter leaves its
// generic tp_new in place once __new__ has been assigned, even after the
// class's own __new__ is put back (as unittest.mock does): the slot is
// healed once the class's __new__ is its own again.
bool own_new_in_place(PyTypeObject *cls, newfunc own, PyCFunctionWithKeywords dunder_new);

// The two constructor entries of a class, built from the same parts: the
// tp_new slot (Cls.__new__(Cls, ...)) and the vectorcall (Cls(...)).
// The vectorcall skips type.__call__ only while the class still has its
// own __new__ and object's __init__, as nothing else would run then.
template <auto Make, const FunctionDescription &Desc, auto... Extract>
struct Constructor {
    // Binding fills one slot per parameter of `Desc`, in an array of one
    // per converter, and every converter reads the object in its slot: a
    // slot without a converter would be written past the array's end, and
    // an optional parameter left out would hand a converter a null.
    static_assert(Desc.positional_names.size() + Desc.keyword_only.size() == sizeof...(Extract),
                  "Constructor needs exactly one converter per parameter");
    static_assert(detail::every_parameter_required(Desc),
                  "Constructor cannot bind an optional parameter: no converter takes an absent argument");

    static PyObject *tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) {
        return trampoline([&]() -> Result<Owned> {
            PyObject *slots[sizeof...(Extract)] = {};
            if (Status bound = extract_arguments_tuple_dict(Desc, args, kwargs, slots); !bound) [[unlikely]]
                return err(std::move(bound.error()));
            // The dict's references are only borrowed, and converting one
            // argument can run code that drops another's last reference
            // (by clearing the dict, say): hold each while they convert.
            Owned held[sizeof...(Extract)];
            for (std::size_t i = 0; i < sizeof...(Extract); ++i)
                held[i] = Owned::borrow(slots[i]);
            return convert_and_allocate<Make, Extract...>(cls, Desc, slots);
        });
    }

    // The class's __new__: what Cls.__new__(Cls, ...) calls. It reaches
    // tp_new whatever the slot holds, so a class whose __new__ was
    // assigned and then restored constructs as before.
    static PyObject *dunder_new(PyObject *cls, PyObject *args, PyObject *kwargs) {
        PyTypeObject *subtype = new_subtype(cls, args);
        if (!subtype)
            return nullptr;
        Owned rest = Owned::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        if (!rest)
            return nullptr;
        PyObject *made = tp_new(subtype, rest.get(), kwargs);
        rest.reset();  // outside any boundary
        return made;
    }

    static PyObject *vectorcall(PyObject *cls, PyObject *const *args, std::size_t nargsf,
                                PyObject *kwnames) {
        auto *type = reinterpret_cast<PyTypeObject *>(cls);
        if ((type->tp_new != tp_new && !own_new_in_place(type, tp_new, dunder_new)) ||
            type->tp_init != PyBaseObject_Type.tp_init) [[unlikely]]
            return call_as_type(cls, args, nargsf, kwnames);
        return trampoline([&]() -> Result<Owned> {
            PyObject *slots[sizeof...(Extract)] = {};
            if (Status bound = extract_arguments_fastcall(Desc, args, PyVectorcall_NARGS(nargsf),
                                                          kwnames, slots);
                !bound) [[unlikely]]
                return err(std::move(bound.error()));
            return convert_and_allocate<Make, Extract...>(reinterpret_cast<PyTypeObject *>(cls),
                                                          Desc, slots);
        });
    }
};

// The item of a class constructed by `New` (a Constructor).
template <class New>
constexpr ClassItem new_slot() {
    return NewItem{New::tp_new, New::dunder_new};
}

}  // namespace kestrine::binding
