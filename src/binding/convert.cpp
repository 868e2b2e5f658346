#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrine::binding {
namespace {

// A sequence's reported length only sizes the first reservation; one that
// lies (or is merely huge) must not make us reserve it all up front.
constexpr Py_ssize_t kMaxPresize = 1024;

// A failed length query is an ordinary hint failure and is dropped, but
// taken properly: a PanicException must still resume, and an interrupt
// (anything that is not an Exception) must still reach the caller.
Result<Py_ssize_t> presize_hint(PyObject *seq) {
    const Py_ssize_t len = PySequence_Size(seq);
    if (len >= 0) [[likely]]
        return std::min(len, kMaxPresize);
    std::optional<PyErr> error = PyErr::take();
    if (error && !PyErr_GivenExceptionMatches(error->make_normalized(), PyExc_Exception))
        return err(std::move(*error));
    return 0;
}

}  // namespace

OwnedText::OwnedText(OwnedText &&other) noexcept
    : ptr_(std::exchange(other.ptr_, nullptr)),
      cap_(std::exchange(other.cap_, 0)),
      len_(std::exchange(other.len_, 0)) {}

OwnedText &OwnedText::operator=(OwnedText &&other) noexcept {
    OwnedText moved(std::move(other));
    std::swap(ptr_, moved.ptr_);
    std::swap(cap_, moved.cap_);
    std::swap(len_, moved.len_);
    return *this;
}

OwnedText::~OwnedText() {
    if (cap_ != 0)
        PyMem_RawFree(ptr_);
}

Result<OwnedText> OwnedText::copy_of(std::string_view bytes) {
    OwnedText text;
    if (bytes.empty())
        return text;
    text.ptr_ = static_cast<char *>(PyMem_RawMalloc(bytes.size()));
    if (!text.ptr_) {
        PyErr_NoMemory();
        return err(PyErr::fetch());
    }
    std::memcpy(text.ptr_, bytes.data(), bytes.size());
    text.cap_ = text.len_ = bytes.size();
    return text;
}

Result<std::string_view> to_str(PyObject *str) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) [[unlikely]]
        return err(PyErr::fetch());
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<float> extract_f32_slow(PyObject *obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0) {
        if (std::optional<PyErr> error = PyErr::take())
            return err(std::move(*error));
    }
    // The C++ conversion is IEEE narrowing in the current (nearest-even)
    // rounding mode; out-of-range magnitudes become infinities.
    return static_cast<float>(value);
}

Result<FloatVec> extract_f32_vec(PyObject *obj) {
    if (PyUnicode_Check(obj))
        return err(type_error("Can't extract `str` to `Vec`"));
    return extract_sequence(obj);
}

Result<FloatVec> extract_sequence(PyObject *obj) {
    if (!PySequence_Check(obj))
        return err(DowncastError{obj, kSequenceTarget});
    FloatVec values;
    try {
        Result<Py_ssize_t> hint = presize_hint(obj);
        if (!hint)
            return err(std::move(hint.error()));
        values.reserve(static_cast<std::size_t>(*hint));
        Owned iter = Owned::steal(PyObject_GetIter(obj));
        if (!iter)
            return err(PyErr::fetch());
        while (Owned item = Owned::steal(PyIter_Next(iter.get()))) {
            Result<float> value = extract_f32(item.get());
            if (!value)
                return err(std::move(value.error()));
            values.push_back(*value);
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    if (std::optional<PyErr> error = PyErr::take())
        return err(std::move(*error));
    return values;
}

Result<OwnedText> extract_text(PyObject *obj) {
    if (!PyUnicode_Check(obj))
        return err(DowncastError{obj, kStringTarget});
    Result<std::string_view> utf8 = to_str(obj);
    if (!utf8)
        return err(std::move(utf8.error()));
    return OwnedText::copy_of(*utf8);
}


}  // namespace kestrine::binding
