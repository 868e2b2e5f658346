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
    if (scope.size_ >= kInline + scope.heap_capacity_) [[unlikely]] {
        const std::size_t capacity = scope.heap_capacity_ ? 2 * scope.heap_capacity_ : kInline;
        void *grown = PyMem_RawRealloc(scope.heap_, capacity * sizeof(PyObject *));
        if (!grown)
            return;
        scope.heap_ = static_cast<PyObject **>(grown);
        scope.heap_capacity_ = capacity;
    }
    scope.slot(scope.size_++) = obj;
}

// The count is read anew at each step: nothing is added once the scope is
// closed, and this frame's own references are released before the next.
void ReleaseScope::release_all() {
    for (std::size_t i = 0; i < size_; ++i)
        Py_DECREF(std::exchange(slot(i), nullptr));
    size_ = 0;
}

}  // namespace kestrine::binding
