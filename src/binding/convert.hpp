// Conversions between Python values and the native values kestrine stores.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace kestrine::binding {

// Allocates through the interpreter's raw domain, so that an exhausted
// allocator (real or simulated) reaches kestrine's buffers too.
template <class T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() noexcept = default;
    template <class U>
    RawAllocator(const RawAllocator<U> &) noexcept {}
    T *allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T))
            throw std::bad_alloc();
        if (void *p = PyMem_RawMalloc(n * sizeof(T)))
            return static_cast<T *>(p);
        throw std::bad_alloc();
    }
    void deallocate(T *p, std::size_t) noexcept { PyMem_RawFree(p); }
    template <class U>
    bool operator==(const RawAllocator<U> &) const noexcept { return true; }
};

using FloatVec = std::vector<float, RawAllocator<float>>;

// An owned copy of UTF-8 bytes: no terminator, NULs kept, and no buffer at
// all for the empty text. Laid out as pointer, capacity, length.
class OwnedText {
public:
    OwnedText() noexcept = default;
    OwnedText(OwnedText &&other) noexcept;
    OwnedText &operator=(OwnedText &&other) noexcept;
    OwnedText(const OwnedText &) = delete;
    OwnedText &operator=(const OwnedText &) = delete;
    ~OwnedText();

    // MemoryError if the buffer cannot be allocated.
    static Result<OwnedText> copy_of(std::string_view bytes);
    std::string_view view() const noexcept { return {ptr_, len_}; }
    std::size_t capacity() const noexcept { return cap_; }

private:
    char *ptr_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t len_ = 0;
};

// Target names of the type-mismatch errors raised here.
inline constexpr const char *kSequenceTarget = "Sequence";
inline constexpr const char *kStringTarget = "PyString";

// Strict UTF-8 view of a str, valid while the str lives.
Result<std::string_view> to_str(PyObject *str);

Result<FloatVec> extract_f32_vec(PyObject *obj);
Result<FloatVec> extract_sequence(PyObject *obj);
Result<OwnedText> extract_text(PyObject *obj);

// New Python values; MemoryError when the interpreter cannot make one.
inline Result<Owned> new_object(PyObject *obj) {
    if (!obj) [[unlikely]]
        return err(PyErr::fetch());
    return Owned::steal(obj);
}

inline Result<Owned> f32_into_py(float value) {
    return new_object(PyFloat_FromDouble(static_cast<double>(value)));
}

inline Result<Owned> text_into_py(std::string_view text) {
    return new_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The exact-float fast path stays inline; everything else goes out of line.
Result<float> extract_f32_slow(PyObject *obj);
inline Result<float> extract_f32(PyObject *obj) {
    if (PyFloat_CheckExact(obj)) [[likely]]
        return static_cast<float>(PyFloat_AS_DOUBLE(obj));
    return extract_f32_slow(obj);
}

}  // namespace kestrine::binding
