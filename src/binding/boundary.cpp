#include "boundary.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace kestrine::binding {

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
    catch (...) {
        pass_foreign_unwind();
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
    catch (...) {
        pass_foreign_unwind();
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
    catch (...) {
        pass_foreign_unwind();
        abort_at_boundary();
    }
    memory_unraisable(context);
}

void memory_unraisable(PyObject *context) {
    PyErr_NoMemory();
    PyErr_WriteUnraisable(context);
}

}  // namespace kestrine::binding
