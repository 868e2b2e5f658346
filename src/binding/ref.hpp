// Owned strong references to Python objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "platform.hpp"  // KESTRINE_TLS_INITIAL_EXEC

namespace kestrine::binding {

// Whether this thread holds the GIL: with the GIL, a thread has a current
// thread state exactly while it holds it. At exit the interpreter ends
// daemon threads by unwinding them from a wait for the GIL; a reference
// dropped on the way out must be left alone, since releasing it could free
// an object under the thread that does hold the GIL.
inline bool holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// The span of one call boundary on this thread, and the last references
// that destructors hand over to it during that span (see Owned's
// destructor). Scopes nest as boundaries do; each keeps its own.
//
// The first few references are kept in the scope itself, which lives in
// the boundary's frame: a destructor can always hand one over, even when
// no memory is left. Beyond those a block is allocated; should that fail
// too, the reference is left unreleased rather than released inside a
// destructor, where no Python code may run.
class ReleaseScope {
public:
    ReleaseScope() noexcept : outer_(innermost) { innermost = this; }
    // Unlinks a scope that close() did not end: only a forced unwind gets
    // here with one, when the thread is ending, and what it kept stays
    // unreleased (no Python code may run here), its block too.
    ~ReleaseScope() { innermost = outer_; }
    ReleaseScope(const ReleaseScope &) = delete;
    ReleaseScope &operator=(const ReleaseScope &) = delete;

    // Ends the scope, then drops what it kept, in the order it came: the
    // finalisers run as an outer frame would run them, and one that calls
    // back into kestrine opens a scope of its own.
    [[gnu::always_inline]] void close() {
        innermost = outer_;
        if (size_) [[unlikely]]
            release_all();
    }

    // Whether this thread is inside a call boundary, and how deeply.
    static bool active() noexcept { return innermost != nullptr; }
    static long depth() noexcept;
    // Keeps `obj`'s reference for the innermost scope to release.
    static void defer(PyObject *obj) noexcept;

private:
    // A call drops a dozen last references at the most (a fault's report,
    // with its traceback, drops the most): room for all of them costs only
    // stack, where a block would cost an allocation that can fail.
    static constexpr std::size_t kInline = 16;
    static constinit thread_local ReleaseScope *innermost KESTRINE_TLS_INITIAL_EXEC;
    void release_all();
    PyObject *&slot(std::size_t i) noexcept { return i < kInline ? inline_[i] : heap_[i - kInline]; }

    // Only what a call's success path touches is set up front: the block
    // beyond the inline slots exists, and heap_ is set, once size_ passes
    // kInline, its capacity doubling at each power of two.
    ReleaseScope *outer_;
    std::size_t size_ = 0;
    PyObject **heap_;
    PyObject *inline_[kInline];
};

// Holds exactly one strong reference and drops it on destruction. Every
// new reference the binding layer receives goes into one of these at once,
// so an early return or an unwinding fault cannot leak it.
//
// Dropping a last reference runs the object's finaliser, which is any
// Python code: it may give up the GIL, and the interpreter may end the
// thread right there by unwinding it. A destructor is noexcept (and one
// that runs while a fault unwinds must not throw at all), so no Python
// code may run inside one: inside a call boundary a last reference is
// handed to the boundary, which drops it once the call's own work is
// done. Any other reference only loses a count.
class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned(Owned &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Owned &operator=(Owned &&other) noexcept {
        Owned(std::move(other)).swap(*this);
        return *this;
    }
    ~Owned() {
        if (ptr_)
            drop(ptr_);
    }

    // Takes over a reference the caller already owns (may be null).
    static Owned steal(PyObject *ptr) noexcept { return Owned(ptr); }
    // Adds a reference of our own to a borrowed object.
    static Owned borrow(PyObject *ptr) noexcept { return Owned(Py_XNewRef(ptr)); }

    PyObject *get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller, typically to Python itself.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    void swap(Owned &other) noexcept { std::swap(ptr_, other.ptr_); }
    // Drops the reference at once, finaliser and all: for loops that would
    // otherwise hand the boundary one object per item. Not noexcept, so
    // that an unwind started by the finaliser passes through.
    void reset() {
        if (PyObject *obj = std::exchange(ptr_, nullptr))
            Py_DECREF(obj);
    }

private:
    explicit Owned(PyObject *ptr) noexcept : ptr_(ptr) {}
    static void drop(PyObject *obj) noexcept {
        if (!holds_gil()) [[unlikely]]
            return;
        if (Py_REFCNT(obj) == 1 && ReleaseScope::active()) [[unlikely]]
            ReleaseScope::defer(obj);
        else
            Py_DECREF(obj);
    }
    PyObject *ptr_ = nullptr;
};

}  // namespace kestrine::binding
