#include "ref.hpp"

namespace kestrine::binding {

constinit thread_local ReleaseScope *ReleaseScope::innermost KESTRINE_TLS_INITIAL_EXEC = nullptr;

long ReleaseScope::depth() noexcept {
    long n = 0;
    for (const ReleaseScope *scope = innermost; scope; scope = scope->outer_)
        ++n;
    return n;
}

// Runs inside a destructor: nothing here may run Python code.
void ReleaseScope::defer(PyObject *obj) noexcept {
    ReleaseScope &scope = *innermost;
    const std::size_t spilled = scope.size_ >= kInline ? scope.size_ - kInline : 0;
    if (scope.size_ >= kInline && (spilled == 0 || (spilled >= kInline && (spilled & (spilled - 1)) == 0)))
        [[unlikely]] {
        const std::size_t capacity = spilled == 0 ? kInline : 2 * spilled;
        void *grown = PyMem_RawRealloc(spilled == 0 ? nullptr : scope.heap_, capacity * sizeof(PyObject *));
        if (!grown)
            return;
        scope.heap_ = static_cast<PyObject **>(grown);
    }
    scope.slot(scope.size_++) = obj;
}

// The count is read anew at each step: nothing is added once the scope is
// closed, and this frame's own references are released before the next.
void ReleaseScope::release_all() {
    for (std::size_t i = 0; i < size_; ++i)
        Py_DECREF(std::exchange(slot(i), nullptr));
    if (size_ > kInline)
        PyMem_RawFree(heap_);
    size_ = 0;
}

}  // namespace kestrine::binding
