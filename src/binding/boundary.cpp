#include "boundary.hpp"

#include <new>

namespace kestrine::binding {
namespace {

PyErr fault_error(const Panic *panic) {
    return PyErr::from_panic_payload(panic ? panic->payload() : PanicPayload{OpaquePayload{}});
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
