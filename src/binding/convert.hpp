// Conversions between Python values and the native values kestrine stores.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>
#include <string_view>

#include "error.hpp"

namespace kestrine::binding {

// Floats read from a sequence. Up to kInline of them (a Cuboid's sides)
// live inside the object; more go to the interpreter's raw domain, so that
// an exhausted allocator (real or simulated) reaches them too.
class FloatVec {
public:
    static constexpr std::size_t kInline = 4;

    FloatVec() noexcept = default;
    // Inline, and the whole inline buffer copied whatever the size: a move
    // is then a few stores, not a call.
    FloatVec(FloatVec &&other) noexcept : size_(other.size_), cap_(other.cap_) {
        std::memcpy(inline_, other.inline_, sizeof inline_);
        if (other.on_heap())
            data_ = std::exchange(other.data_, other.inline_);
        other.size_ = 0;
        other.cap_ = kInline;
    }
    FloatVec &operator=(FloatVec &&other) noexcept {
        if (this != &other) {
            std::destroy_at(this);
            std::construct_at(this, std::move(other));
        }
        return *this;
    }
    FloatVec(const FloatVec &) = delete;
    FloatVec &operator=(const FloatVec &) = delete;
    ~FloatVec() {
        if (on_heap()) [[unlikely]]
            PyMem_RawFree(data_);
    }

    // Both throw std::bad_alloc when the memory cannot be had.
    void reserve(std::size_t n) {
        if (n > cap_) [[unlikely]]
            reallocate(n);
    }
    void push_back(float value) {
        if (size_ == cap_) [[unlikely]]
            reallocate(cap_ * 2);
        data_[size_++] = value;
    }

    std::size_t size() const noexcept { return size_; }
    const float &operator[](std::size_t i) const noexcept { return data_[i]; }
    const float *begin() const noexcept { return data_; }
    const float *end() const noexcept { return data_ + size_; }

private:
    bool on_heap() const noexcept { return data_ != inline_; }
    void reallocate(std::size_t capacity);

    float *data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = kInline;
    float inline_[kInline];  // only the first size_ are ever read
};

// An owned copy of UTF-8 bytes: no terminator, NULs kept. Up to kInline
// bytes (most paths) are kept inside the object; longer text has a buffer
// of its own. Three words either way.
class OwnedText {
public:
    // Two words: the instance keeps the size a pointer, a capacity and a
    // length would give it (48 bytes on 64-bit targets, 24 on 32-bit).
    static constexpr std::size_t kInline = 2 * sizeof(void *);

    OwnedText() noexcept = default;
    // Copying the union copies whichever member it holds.
    OwnedText(OwnedText &&other) noexcept
        : storage_(other.storage_), len_(std::exchange(other.len_, 0)) {}
    OwnedText &operator=(OwnedText &&other) noexcept {
        if (this != &other) {
            std::destroy_at(this);
            std::construct_at(this, std::move(other));
        }
        return *this;
    }
    OwnedText(const OwnedText &) = delete;
    OwnedText &operator=(const OwnedText &) = delete;
    ~OwnedText() {
        if (on_heap())
            PyMem_RawFree(storage_.heap);
    }

    // MemoryError if a buffer is needed and cannot be allocated.
    static Result<OwnedText> copy_of(std::string_view bytes);
    std::string_view view() const noexcept { return {on_heap() ? storage_.heap : storage_.bytes, len_}; }
    bool on_heap() const noexcept { return len_ > kInline; }
    // Where the bytes (or the buffer's address) and the length lie: part of
    // the instance layout other extensions read (pyclass.hpp).
    static consteval std::size_t storage_offset() { return offsetof(OwnedText, storage_); }
    static consteval std::size_t length_offset() { return offsetof(OwnedText, len_); }

private:
    union Storage {
        char *heap;
        char bytes[kInline];
    };
    Storage storage_ = {.bytes = {}};
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
