#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace kestrine::binding {
namespace {

// A sequence's reported length only sizes the first reservation; one that
// lies (or is merely huge) must not make us reserve it all up front.
constexpr Py_ssize_t kMaxPresize = 1024;

// A failed length query is an ordinary hint failure and is dropped, but
// taken properly: a PanicException must still resume, and an interrupt or
// a signal handler's exception must still reach the caller.
Result<Py_ssize_t> presize_hint(PyObject *seq) {
    const Py_ssize_t len = PySequence_Size(seq);
    if (len >= 0) [[likely]]
        return std::min(len, kMaxPresize);
    std::optional<PyErr> error = PyErr::take();
    if (error && for_the_caller(error->make_normalized()))
        return err(std::move(*error));
    return 0;
}

// A long read lets the interpreter's signal handlers run every so many
// items, so that Ctrl-C ends it; the counter is all the hot path pays.
constexpr std::size_t kSignalInterval = 4096;

[[gnu::cold, gnu::noinline]] bool interrupted(Result<FloatVec> &values) {
    if (PyErr_CheckSignals() == 0)
        return false;
    values = err(PyErr::fetch());
    return true;
}

// Converts one item onto the end of `values`. On failure the error takes
// the vector's place and the answer is false.
[[gnu::always_inline]] inline bool append_converted(Result<FloatVec> &values, PyObject *item) {
    Result<float> value = extract_f32(item);
    if (!value) {
        values = err(std::move(value.error()));
        return false;
    }
    values->push_back(*value);
    return true;
}

// A float (of any class) gives its value without calling anything, and an
// int's conversion reads a few digits or runs the Python code of a
// subclass, which handles signals itself. Anything else may be a long
// computation in C (a Decimal of many digits): the handlers run after it.
bool may_convert_slowly(PyObject *item) { return !PyFloat_Check(item) && !PyLong_Check(item); }

// An item off the exact-float path: held while it converts, since its
// conversion may drop the container's reference to it, and released as
// soon as it is read, so that a read keeps no more items alive than an
// iterator would. Both can run any Python code.
[[gnu::noinline]] bool append_slow_item(Result<FloatVec> &values, PyObject *item) {
    Owned held = Owned::borrow(item);
    const bool check_signals = may_convert_slowly(item);
    const bool converted = append_converted(values, held.get());
    held.reset();
    return converted && !(check_signals && interrupted(values));
}

enum class Read { done, failed, grown_long };

// Reads an exact list or tuple by index from `i` on: the items its
// iterator would give, in the same order, without making the iterator.
// Anything that runs Python code (a conversion, a release, the signal
// handlers with a collection that may be due) may shrink or grow a list,
// so its size is read again before every item, as its iterator does.
//
// Only a long one counts items for the signal check: a short one cannot
// grow long unless Python code grows it, and a short read that finds it
// grown after an item goes on as a long one.
template <bool kLong>
[[gnu::always_inline]] inline Read read_from(PyObject *seq, bool list, Py_ssize_t &i,
                                             Result<FloatVec> &values) {
    for (; i < Py_SIZE(seq); ++i) {
        if constexpr (kLong) {
            if (static_cast<std::size_t>(i) % kSignalInterval == kSignalInterval - 1) [[unlikely]] {
                if (interrupted(values))
                    return Read::failed;
                if (i >= Py_SIZE(seq))
                    break;
            }
        }
        PyObject *item = list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
        if (PyFloat_CheckExact(item)) [[likely]] {
            values->push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
            continue;
        }
        if (!append_slow_item(values, item))
            return Read::failed;
        if constexpr (!kLong) {
            if (static_cast<std::size_t>(Py_SIZE(seq)) > kSignalInterval) [[unlikely]] {
                ++i;
                return Read::grown_long;
            }
        }
    }
    return Read::done;
}

bool is_long(PyObject *seq) { return static_cast<std::size_t>(Py_SIZE(seq)) > kSignalInterval; }

Result<FloatVec> read_list_or_tuple(PyObject *seq) {
    const bool list = PyList_CheckExact(seq);
    // Every path returns this one object, so it is built in the caller's
    // slot and never moved. A list or tuple's length cannot fail and runs
    // no code, so taking it for the reservation is unobservable.
    Result<FloatVec> values{std::in_place};
    try {
        values->reserve(static_cast<std::size_t>(std::min(Py_SIZE(seq), kMaxPresize)));
        Py_ssize_t i = 0;
        if (is_long(seq) || read_from<false>(seq, list, i, values) == Read::grown_long)
            read_from<true>(seq, list, i, values);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        values = err(PyErr::fetch());
    }
    return values;
}

}  // namespace

void FloatVec::reallocate(std::size_t n) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(float))
        throw std::bad_alloc();
    float *fresh = static_cast<float *>(PyMem_RawMalloc(n * sizeof(float)));
    if (!fresh)
        throw std::bad_alloc();
    std::copy_n(data_, size_, fresh);
    if (on_heap())
        PyMem_RawFree(data_);
    data_ = fresh;
    cap_ = n;
}

Result<OwnedText> OwnedText::copy_of(std::string_view bytes) {
    char *heap = nullptr;
    if (bytes.size() > kInline) {
        heap = static_cast<char *>(PyMem_RawMalloc(bytes.size()));
        if (!heap) {
            PyErr_NoMemory();
            return err(PyErr::fetch());
        }
    }
    // The only object returned once it exists: built in the caller's slot.
    Result<OwnedText> text{std::in_place};
    if (heap)
        text->storage_.heap = heap;
    std::memcpy(heap ? heap : text->storage_.bytes, bytes.data(), bytes.size());
    text->len_ = bytes.size();
    return text;
}

namespace {

// The interpreter's UTF-8 conversion overflows its own size arithmetic for
// a string whose UTF-8 form would pass PY_SSIZE_T_MAX bytes, which a
// 32-bit build can hold: such a string is refused first, as too large. A
// character takes as many bytes as its kind allows at most (two for the
// one-byte kind beyond ASCII).
bool utf8_may_overflow(PyObject *str) {
    if (PyUnicode_IS_ASCII(str)) [[likely]]
        return false;
    const int kind = PyUnicode_KIND(str);
    const Py_ssize_t per_char = kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4;
    return PyUnicode_GET_LENGTH(str) > PY_SSIZE_T_MAX / per_char;
}

}  // namespace

Result<std::string_view> to_str(PyObject *str) {
    if (utf8_may_overflow(str)) [[unlikely]] {
        PyErr_NoMemory();
        return err(PyErr::fetch());
    }
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
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) [[likely]]
        return read_list_or_tuple(obj);
    if (PyUnicode_Check(obj))
        return err(type_error("Can't extract `str` to `Vec`"));
    return extract_sequence(obj);
}

Result<FloatVec> extract_sequence(PyObject *obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))
        return read_list_or_tuple(obj);
    if (!PySequence_Check(obj))
        return err(DowncastError{obj, kSequenceTarget});
    Result<FloatVec> values{std::in_place};  // the one object returned from here on
    try {
        Result<Py_ssize_t> hint = presize_hint(obj);
        if (!hint) {
            values = err(std::move(hint.error()));
            return values;
        }
        values->reserve(static_cast<std::size_t>(*hint));
        Owned iter = Owned::steal(PyObject_GetIter(obj));
        if (!iter) {
            values = err(PyErr::fetch());
            return values;
        }
        // Items and the iterator are dropped here rather than handed to
        // the boundary: a long sequence would have it keep every item.
        for (std::size_t n = 1;; ++n) {
            Owned item = Owned::steal(PyIter_Next(iter.get()));
            if (!item)
                break;
            const bool check_signals = n % kSignalInterval == 0 || may_convert_slowly(item.get());
            const bool converted = append_converted(values, item.get());
            item.reset();
            if (!converted || (check_signals && interrupted(values))) {
                iter.reset();
                return values;
            }
        }
        iter.reset();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    if (std::optional<PyErr> error = PyErr::take())
        values = err(std::move(*error));
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
