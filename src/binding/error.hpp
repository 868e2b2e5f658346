// Error values: Python exceptions held by native code.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "fault.hpp"
#include "ref.hpp"

namespace kestrine::binding {

class PyErr;

template <class T>
using Result = std::expected<T, PyErr>;
using Status = Result<void>;

// A type-mismatch failure: `obj` is not the `target` that an operation
// needs. Its message is only computed if the TypeError is materialised.
struct DowncastError {
    PyObject *obj;       // borrowed; only its type is kept
    const char *target;  // static text
};

// Names where a lazy error's exception type comes from.
struct PanicTypeTag {};
using LazyType = std::variant<PyObject * /* static, never released */, Owned, PanicTypeTag>;

struct DowncastArgs {
    Owned from_type;
    const char *target;
};
struct PanicArgs {
    std::string message;
};
using LazyArgs = std::variant<const char *, std::string, DowncastArgs, PanicArgs>;

class PyErr {
public:
    PyErr(LazyType type, LazyArgs args);
    PyErr(DowncastError e);
    // Inline, so that moving an error along a failure path is a pointer
    // copy and dropping a moved-from one a test.
    PyErr(PyErr &&) noexcept = default;
    PyErr &operator=(PyErr &&) noexcept = default;
    ~PyErr() = default;

    // The exception currently set in the interpreter, if any. A fetched
    // PanicException does not come back: it resumes the fault.
    static std::optional<PyErr> take();
    // take(), or a SystemError when the failing call set nothing.
    static PyErr fetch();
    static PyErr from_panic_payload(const PanicPayload &payload);
    // Wraps a live exception instance.
    static PyErr from_value(Owned exc);

    void restore() &&;
    PyObject *make_normalized();  // borrowed from this error
    bool is_exactly(PyObject *type);
    void set_cause(std::optional<PyErr> cause);
    PyErr clone_ref();
    Owned into_value() &&;
    // Writes the traceback as the fault report's stream takes it; returns
    // the interrupt, if any, that writing it raised.
    [[nodiscard]] Owned print();
    void write_unraisable(PyObject *obj) &&;

private:
    struct State;
    struct Drop {
        void operator()(State *state) const noexcept;
    };
    using StatePtr = std::unique_ptr<State, Drop>;
    explicit PyErr(StatePtr state) noexcept;
    static void normalize_locked(State &s);
    StatePtr state_;
};

template <class... Args>
std::unexpected<PyErr> err(Args &&...args) {
    return std::unexpected<PyErr>(PyErr(std::forward<Args>(args)...));
}
inline std::unexpected<PyErr> err(PyErr e) { return std::unexpected<PyErr>(std::move(e)); }

// Lazy errors of the interpreter's built-in exception types.
inline PyErr type_error(const char *msg) { return PyErr(PyExc_TypeError, msg); }
inline PyErr type_error(std::string msg) { return PyErr(PyExc_TypeError, std::move(msg)); }

// The PanicException class. Module initialisation creates it, so that no
// fault ever has to, since creating it can fail for reasons of the moment
// (memory, recursion); null with the interpreter's exception set if it
// cannot be had, which then stands as the error.
PyObject *panic_exception_type();

// For interpreter calls that must produce an object: a null result prints
// the pending exception and raises the fault "Python API call failed".
[[noreturn]] void python_api_call_failed(const std::source_location &where);
inline PyObject *ensure(PyObject *result,
                        std::source_location where = std::source_location::current()) {
    if (!result) [[unlikely]]
        python_api_call_failed(where);
    return result;
}

// UTF-8 text of a str, lone surrogates shown as U+FFFD.
Result<std::string> to_string_lossy(PyObject *str);

}  // namespace kestrine::binding
