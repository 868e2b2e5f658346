#include "boundary.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace kestrine::binding {

// One block: the header, then the references in the order they came.
struct DeferredReleases {
    std::size_t size;
    std::size_t capacity;
    PyObject **items() noexcept { return reinterpret_cast<PyObject **>(this + 1); }
};

constinit thread_local DeferredReleases *deferred_releases KESTRINE_TLS_INITIAL_EXEC = nullptr;

// Runs inside a destructor: nothing here may run Python code. Without the
// memory to keep it, the reference is dropped on the spot, which is what
// it would have been anyway.
void defer_release(PyObject *obj) noexcept {
    DeferredReleases *list = deferred_releases;
    if (!list || list->size == list->capacity) {
        const std::size_t capacity = list ? 2 * list->capacity : 8;
        void *grown = PyMem_RawRealloc(list, sizeof(DeferredReleases) + capacity * sizeof(PyObject *));
        if (!grown) {
            Py_DECREF(obj);
            return;
        }
        list = static_cast<DeferredReleases *>(grown);
        if (!deferred_releases)
            list->size = 0;
        list->capacity = capacity;
        deferred_releases = list;
    }
    list->items()[list->size++] = obj;
}

// The list is detached before anything is released: a finaliser that calls
// back into kestrine defers (and releases) into a list of its own.
void release_deferred() {
    while (DeferredReleases *list = std::exchange(deferred_releases, nullptr)) {
        for (std::size_t i = 0; i < list->size; ++i)
            Py_DECREF(list->items()[i]);
        PyMem_RawFree(list);
    }
}

namespace {

// The fault's PanicException; or, when the stream that took the fault's
// report raised an interrupt, that interrupt, with the PanicException as
// its context: the caller must not lose a Ctrl-C to a fault report.
PyErr fault_error(const Panic *panic) {
    PyErr fault = PyErr::from_panic_payload(panic ? panic->payload() : PanicPayload{OpaquePayload{}});
    Owned interrupt = panic ? panic->take_interrupt() : Owned();
    if (!interrupt)
        return fault;
    PyException_SetContext(interrupt.get(), std::move(fault).into_value().release());
    return PyErr::from_value(std::move(interrupt));
}

}  // namespace

// Materialising the error may itself run out of memory: the interpreter's
// MemoryError then stands as the call's exception. Any other fault here has
// nowhere left to go.
PyObject *restore_at_boundary(PyErr &&error) {
    try {
        std::move(error).restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

PyObject *fault_at_boundary(const Panic *panic) {
    try {
        return restore_at_boundary(fault_error(panic));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

void fault_unraisable(const Panic *panic, PyObject *context) {
    try {
        fault_error(panic).write_unraisable(context);
        return;
    } catch (const std::bad_alloc &) {
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        abort_at_boundary();
    }
    memory_unraisable(context);
}

void memory_unraisable(PyObject *context) {
    PyErr_NoMemory();
    PyErr_WriteUnraisable(context);
}

}  // namespace kestrine::binding
