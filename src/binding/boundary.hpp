// Call boundaries: the only way the interpreter enters kestrine.
//
// Every slot is a thin wrapper that hands its body to one of the two forms
// below. The body returns a value or an error value; internal faults and
// stray C++ exceptions are caught here and nowhere else. (A float accessor
// past its receiver checks runs no code of ours, so it enters none.)
//
// One kind of unwinding must pass through untouched: the forced unwind by
// which pthread_exit ends a thread (the interpreter ends daemon threads
// that way at exit, from inside any call that waits for the GIL). So no
// entry point is noexcept, and every catch-all lets it go first.
#pragma once

#include <Python.h>

#include <new>

#include "error.hpp"
#include "ref.hpp"  // ReleaseScope

namespace kestrine::binding {

// Both restore the matching exception and return null. A null `panic` is
// a stray C++ exception, reported with the fixed text for a fault that
// carries none.
PyObject *restore_at_boundary(PyErr &&error);
PyObject *fault_at_boundary(const Panic *panic);
// The same for a deallocator, whose error goes to sys.unraisablehook with
// `context`; memory_unraisable reports an exhausted allocator there.
void fault_unraisable(const Panic *panic, PyObject *context);
void memory_unraisable(PyObject *context);

template <class Body>
[[gnu::always_inline]] inline PyObject *run_body(Body &&body) {
    try {
        Result<Owned> result = body();
        if (result) [[likely]]
            return result->release();
        return restore_at_boundary(std::move(result.error()));
    } catch (const Panic &panic) {  // each kind by its own clause: no rethrow to tell them apart
        return fault_at_boundary(&panic);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    catch (...) {
        pass_foreign_unwind();
        return fault_at_boundary(nullptr);
    }
}

// For slots returning a new reference: the body returns Result<Owned>.
template <class Body>
PyObject *trampoline(Body &&body) {
    ReleaseScope scope;
    PyObject *result = run_body(body);
    scope.close();
    return result;
}

// For deallocators: the body returns nothing and a fault goes to
// sys.unraisablehook with `context` (null for none).
template <class Body>
void trampoline_unraisable(Body &&body, PyObject *context) {
    ReleaseScope scope;
    try {
        body();
    } catch (const Panic &panic) {
        fault_unraisable(&panic, context);
    } catch (const std::bad_alloc &) {
        memory_unraisable(context);
    }
    catch (...) {
        pass_foreign_unwind();
        fault_unraisable(nullptr, context);
    }
    scope.close();
}

}  // namespace kestrine::binding
