#include "boundary.hpp"

#include <new>

namespace kestrine::binding {
namespace {

// Turns the exception being handled into a restorable error, or nothing
// for an exhausted allocator. Must be called from inside a catch handler.
std::optional<PyErr> current_fault_as_error() {
    try {
        throw;
    } catch (const Panic &panic) {
        return PyErr::from_panic_payload(panic.payload());
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        return PyErr::from_panic_payload(OpaquePayload{});
    }
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

PyObject *fault_at_boundary() {
    try {
        if (std::optional<PyErr> error = current_fault_as_error())
            return restore_at_boundary(std::move(*error));
        PyErr_NoMemory();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

void fault_unraisable(PyObject *context) {
    try {
        if (std::optional<PyErr> error = current_fault_as_error()) {
            std::move(*error).write_unraisable(context);
            return;
        }
    } catch (const std::bad_alloc &) {
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        abort_at_boundary();
    }
    PyErr_NoMemory();
    PyErr_WriteUnraisable(context);
}

}  // namespace kestrine::binding
