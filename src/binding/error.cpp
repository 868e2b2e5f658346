#include "error.hpp"

#include <atomic>
#include <exception>
#include <cstdio>
#include <mutex>
#include <thread>

namespace kestrine::binding {
namespace {

constexpr const char *kPanicDoc =
    "\n"
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char *kNonTextPayload = "panic in native code";

std::atomic<PyObject *> panic_type_cell{nullptr};

// The GIL is given up while an error normalises (see make_normalized);
// Relock takes it back for the one step that needs the interpreter.
//
// Taking the GIL back is where the interpreter ends a daemon thread at
// exit, by unwinding it from inside PyEval_RestoreThread. The state is
// cleared before each attempt, so an unwind that starts there does not try
// to take the GIL a second time on its way out.
class UnlockedGil {
public:
    UnlockedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~UnlockedGil() noexcept(false) {
        if (PyThreadState *state = std::exchange(state_, nullptr))
            PyEval_RestoreThread(state);
    }
    UnlockedGil(const UnlockedGil &) = delete;
    UnlockedGil &operator=(const UnlockedGil &) = delete;

    class Relock {
    public:
        explicit Relock(UnlockedGil &gil) : gil_(gil) {
            PyEval_RestoreThread(std::exchange(gil_.state_, nullptr));
        }
        ~Relock() { gil_.state_ = PyEval_SaveThread(); }
        Relock(const Relock &) = delete;
        Relock &operator=(const Relock &) = delete;

    private:
        UnlockedGil &gil_;
    };

private:
    PyThreadState *state_;
};

Owned str_from(std::string_view text) {
    return Owned::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string qualified_type_name(PyObject *type) {
    Owned qualname = Owned::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject *>(type)));
    if (qualname) {
        Py_ssize_t size = 0;
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size))
            return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

// A null result means the interpreter could not build the object and has
// said why (normally MemoryError); that exception then stands.
Owned type_object(LazyType &type) {
    struct Visitor {
        Owned operator()(PyObject *static_type) { return Owned::borrow(static_type); }
        Owned operator()(Owned &owned) { return std::move(owned); }
        Owned operator()(PanicTypeTag) { return Owned::borrow(panic_exception_type()); }
    };
    return std::visit(Visitor{}, type);
}

Owned argument_object(LazyArgs &args) {
    struct Visitor {
        Owned operator()(const char *text) { return Owned::steal(PyUnicode_FromString(text)); }
        Owned operator()(const std::string &text) { return str_from(text); }
        Owned operator()(DowncastArgs &d) {
            std::string message = "'";
            message.append(qualified_type_name(d.from_type.get()))
                .append("' object cannot be converted to '")
                .append(d.target)
                .append("'");
            d.from_type = Owned();
            return str_from(message);
        }
        Owned operator()(const PanicArgs &p) {
            Owned message = str_from(p.message);
            return message ? Owned::steal(PyTuple_Pack(1, message.get())) : Owned();
        }
    };
    return std::visit(Visitor{}, args);
}

struct Lazy {
    LazyType type;
    LazyArgs args;
};

void raise_lazy(Lazy lazy) {
    Owned type = type_object(lazy.type);
    if (!type)
        return;
    Owned arg = argument_object(lazy.args);
    if (!arg)
        return;
    if (std::holds_alternative<PanicTypeTag>(lazy.type)) {
        // Made by the class's own constructor rather than by calling the
        // class: a call is refused near the recursion limit, where a fault
        // must still raise its PanicException.
        auto *cls = reinterpret_cast<PyTypeObject *>(type.get());
        if (Owned exc = Owned::steal(cls->tp_new(cls, arg.get(), nullptr)))
            PyErr_SetRaisedException(exc.release());
        return;
    }
    if (PyExceptionClass_Check(type.get()))
        PyErr_SetObject(type.get(), arg.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

// The message of a fault fed back from Python, and its traceback under the
// banner. An interrupt raised on the way (by str() of its argument, by the
// traceback's formatting or by the stream) goes to the caller in place of
// the fault; an ordinary failure there only costs the text.
[[noreturn]] void print_panic_and_unwind(Owned exc) {
    std::string message = "Unwrapped panic from Python code";
    Owned interrupt;
    if (Owned text = Owned::steal(PyObject_Str(exc.get()))) {
        if (Result<std::string> lossy = to_string_lossy(text.get()))
            message = std::move(*lossy);
    } else {
        interrupt = take_for_caller();
    }
    interrupt = write_exception("--- kestrine resumes an internal fault: PanicException fetched from Python ---\n"
                                "Python stack trace below:\n",
                                exc.get(), std::move(interrupt));
    resume_panic(std::move(message), std::move(interrupt));
}

}  // namespace

struct PyErr::State {
    std::optional<Lazy> lazy;
    Owned normalized;
    std::mutex mutex;  // guards normalizing_thread
    std::thread::id normalizing_thread;
    std::mutex once;  // held by the one thread that normalises
};

PyErr::PyErr(StatePtr state) noexcept : state_(std::move(state)) {}

PyErr::PyErr(LazyType type, LazyArgs args) : state_(new State()) {
    state_->lazy.emplace(Lazy{std::move(type), std::move(args)});
}

PyErr::PyErr(DowncastError e)
    : PyErr(PyExc_TypeError,
            DowncastArgs{Owned::borrow(reinterpret_cast<PyObject *>(Py_TYPE(e.obj))), e.target}) {}

void PyErr::Drop::operator()(State *state) const noexcept { delete state; }

std::optional<PyErr> PyErr::take() {
    Owned exc = Owned::steal(PyErr_GetRaisedException());
    if (!exc)
        return std::nullopt;
    // No PanicException can exist before its class does, so an empty cell
    // settles the question without creating the class.
    PyObject *panic_type = panic_type_cell.load(std::memory_order_acquire);
    if (panic_type && reinterpret_cast<PyObject *>(Py_TYPE(exc.get())) == panic_type)
        print_panic_and_unwind(std::move(exc));
    return from_value(std::move(exc));
}

PyErr PyErr::from_value(Owned exc) {
    StatePtr state(new State());
    state->normalized = std::move(exc);
    return PyErr(std::move(state));
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> e = take())
        return std::move(*e);
    return PyErr(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyErr PyErr::from_panic_payload(const PanicPayload &payload) {
    struct Visitor {
        std::string operator()(const std::string &text) { return text; }
        std::string operator()(const char *text) { return text; }
        std::string operator()(OpaquePayload) { return kNonTextPayload; }
    };
    return PyErr(PanicTypeTag{}, PanicArgs{std::visit(Visitor{}, payload)});
}

void PyErr::restore() && {
    State &s = *state_;
    if (s.normalized)
        PyErr_SetRaisedException(s.normalized.release());
    else if (s.lazy)
        raise_lazy(*std::exchange(s.lazy, std::nullopt));
    else
        PyErr_SetString(PyExc_SystemError, "error value lost while it was normalised");
}

PyObject *PyErr::make_normalized() {
    State &s = *state_;
    if (s.normalized)
        return s.normalized.get();
    {
        std::lock_guard lock(s.mutex);
        if (s.normalizing_thread == std::this_thread::get_id())
            panic_static("Re-entrant normalization of PyErrState detected");
    }
    // Nothing may unwind while the GIL is given up, or the unwind would
    // have to take it back inside a destructor: a failure waits until the
    // GIL is ours again.
    std::exception_ptr failure;
    {
        UnlockedGil gil;
        std::lock_guard once(s.once);
        if (!s.normalized) {
            UnlockedGil::Relock relock(gil);
            try {
                normalize_locked(s);
            }
            catch (...) {
                pass_foreign_unwind();
                failure = std::current_exception();
            }
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    return s.normalized.get();
}

void PyErr::normalize_locked(State &s) {
    {
        std::lock_guard lock(s.mutex);
        s.normalizing_thread = std::this_thread::get_id();
    }
    if (!s.lazy)
        panic_static("Cannot normalize a PyErr while already normalizing it.");
    raise_lazy(*std::exchange(s.lazy, std::nullopt));
    Owned exc = Owned::steal(PyErr_GetRaisedException());
    if (!exc)
        panic_static("exception missing after writing to the interpreter");
    s.normalized = std::move(exc);
    std::lock_guard lock(s.mutex);
    s.normalizing_thread = std::thread::id();
}

bool PyErr::is_exactly(PyObject *type) {
    return reinterpret_cast<PyObject *>(Py_TYPE(make_normalized())) == type;
}

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject *value = make_normalized();
    PyObject *cause_value = cause ? std::move(*cause).into_value().release() : nullptr;
    PyException_SetCause(value, cause_value);
}

PyErr PyErr::clone_ref() { return from_value(Owned::borrow(make_normalized())); }

Owned PyErr::into_value() && { return Owned::borrow(make_normalized()); }

Owned PyErr::print() { return write_exception("", make_normalized()); }

void PyErr::write_unraisable(PyObject *obj) && {
    std::move(*this).restore();
    PyErr_WriteUnraisable(obj);
}

PyObject *panic_exception_type() {
    if (PyObject *existing = panic_type_cell.load(std::memory_order_acquire))
        return existing;
    Owned base = Owned::borrow(PyExc_BaseException);
    Owned created = Owned::steal(PyErr_NewExceptionWithDoc(
        "kestrine_runtime.PanicException", kPanicDoc, base.get(), nullptr));
    if (!created)
        return nullptr;
    PyObject *expected = nullptr;
    if (panic_type_cell.compare_exchange_strong(expected, created.get(), std::memory_order_acq_rel))
        return created.release();
    return expected;
}

void python_api_call_failed(const std::source_location &where) {
    Owned exc = Owned::steal(PyErr_GetRaisedException());
    panic_after(write_exception("", exc.get()), "Python API call failed", where);
}

Result<std::string> to_string_lossy(PyObject *str) {
    Py_ssize_t size = 0;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes)
        return err(PyErr::fetch());
    Owned lossy = Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                    PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!lossy)
        return err(PyErr::fetch());
    const char *utf8 = PyUnicode_AsUTF8AndSize(lossy.get(), &size);
    if (!utf8)
        return err(PyErr::fetch());
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace kestrine::binding
