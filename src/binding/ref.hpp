// Owned strong references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrine::binding {

// At exit the interpreter ends daemon threads by unwinding them from a wait
// for the GIL, which they do not hold. A reference dropped on the way out
// is then left alone: the process is ending, and releasing it without the
// GIL could free an object under another thread.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Holds exactly one strong reference and drops it on destruction. Every
// new reference the binding layer receives goes into one of these at once,
// so an early return or an unwinding fault cannot leak it.
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
        if (ptr_ && !interpreter_finalizing())
            Py_DECREF(ptr_);
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

private:
    explicit Owned(PyObject *ptr) noexcept : ptr_(ptr) {}
    PyObject *ptr_ = nullptr;
};

}  // namespace kestrine::binding
