// Call boundaries: the only way the interpreter enters kestrine.
//
// Every slot is a thin wrapper that hands its body to one of the two forms
// below. The body returns a value or an error value; internal faults and
// stray C++ exceptions are caught here and nowhere else.
//
// One kind of unwinding must pass through untouched: the forced unwind by
// which pthread_exit ends a thread (the interpreter ends daemon threads
// that way at exit, from inside any call that waits for the GIL). So no
// entry point is noexcept, and every catch-all lets it go first.
#pragma once

#include <Python.h>

#include "error.hpp"
#include "platform.hpp"  // gil_count

namespace kestrine::binding {

inline long hold_count() noexcept { return gil_count; }

class HoldGuard {
public:
    HoldGuard() noexcept { ++gil_count; }
    ~HoldGuard() { --gil_count; }
    HoldGuard(const HoldGuard &) = delete;
    HoldGuard &operator=(const HoldGuard &) = delete;
};

// Both restore the matching exception and return null. They must be called
// from inside a catch handler (fault_at_boundary) or with a live error.
PyObject *restore_at_boundary(PyErr &&error);
PyObject *fault_at_boundary();
void fault_unraisable(PyObject *context);

// For slots returning a new reference: the body returns Result<Owned>.
template <class Body>
PyObject *trampoline(Body &&body) {
    HoldGuard hold;
    try {
        Result<Owned> result = body();
        if (result) [[likely]]
            return result->release();
        return restore_at_boundary(std::move(result.error()));
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        return fault_at_boundary();
    }
}

// For deallocators: the body returns nothing and a fault goes to
// sys.unraisablehook with `context` (null for none).
template <class Body>
void trampoline_unraisable(Body &&body, PyObject *context) {
    HoldGuard hold;
    try {
        body();
    }
    KESTRINE_PASS_FORCED_UNWIND
    catch (...) {
        fault_unraisable(context);
    }
}

}  // namespace kestrine::binding
