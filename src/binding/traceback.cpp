#include "traceback.hpp"

#include <cstddef>
#include <string_view>
#include <vector>

#include "fault.hpp"  // take_for_caller

namespace kestrine::binding {
namespace {

// Deep enough for any chain a program makes on purpose; a cycle stops at
// the first exception seen twice.
constexpr std::size_t kMaxChain = 32;

constexpr std::string_view kCauseSeparator =
    "\nThe above exception was the direct cause of the following exception:\n\n";
constexpr std::string_view kContextSeparator =
    "\nDuring handling of the above exception, another exception occurred:\n\n";

void keep_first(Owned &interrupt) {
    if (Owned raised = take_for_caller(); raised && !interrupt)
        interrupt = std::move(raised);
}

// The newest exception first, each followed by the one it was raised from;
// all held, since str() of one may drop the others' last references.
std::vector<Owned> chain_of(PyObject *exc) {
    std::vector<Owned> chain;
    Owned next = Owned::borrow(exc);
    while (next && chain.size() < kMaxChain) {
        for (const Owned &seen : chain) {
            if (seen.get() == next.get())
                return chain;
        }
        Owned cause = Owned::steal(PyException_GetCause(next.get()));
        if (!cause && !reinterpret_cast<PyBaseExceptionObject *>(next.get())->suppress_context)
            cause = Owned::steal(PyException_GetContext(next.get()));
        chain.push_back(std::move(next));
        next = std::move(cause);
    }
    return chain;
}

// "module.Qualname: message", as the interpreter writes the last line.
bool write_message(PyObject *out, PyObject *exc, Owned &interrupt) {
    // Held: a metaclass's __getattribute__ runs any code, which can make
    // the exception let go of its class.
    const Owned held = Owned::borrow(reinterpret_cast<PyObject *>(Py_TYPE(exc)));
    auto *type = reinterpret_cast<PyTypeObject *>(held.get());
    Owned module = Owned::steal(PyObject_GetAttrString(held.get(), "__module__"));
    Owned qualname = Owned::steal(PyType_GetQualName(type));
    if (!module || !qualname)
        keep_first(interrupt);
    Owned text = Owned::steal(PyObject_Str(exc));
    if (!text) {
        keep_first(interrupt);
        text = Owned::steal(PyUnicode_FromString("<exception str() failed>"));
    }
    Owned line;
    if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0 &&
        PyUnicode_CompareWithASCIIString(module.get(), "__main__") != 0)
        line = Owned::steal(PyUnicode_FromFormat("%U.", module.get()));
    else
        line = Owned::steal(PyUnicode_FromString(""));
    if (!line)
        return false;
    Owned full = Owned::steal(PyUnicode_FromFormat(
        text && PyUnicode_GET_LENGTH(text.get()) ? "%U%S: %U\n" : "%U%S\n", line.get(),
        qualname ? qualname.get() : Py_None, text ? text.get() : line.get()));
    return full && PyFile_WriteObject(full.get(), out, Py_PRINT_RAW) == 0;
}

bool write_one(PyObject *out, PyObject *exc, Owned &interrupt) {
    Owned tb = Owned::steal(PyException_GetTraceback(exc));
    if (tb && PyTraceBack_Print(tb.get(), out) != 0)
        return false;
    return write_message(out, exc, interrupt);
}

bool write_chain(PyObject *out, PyObject *exc, Owned &interrupt) {
    std::vector<Owned> chain = chain_of(exc);
    for (std::size_t i = chain.size(); i-- > 0;) {
        if (!write_one(out, chain[i].get(), interrupt))
            return false;
        if (i == 0)
            break;
        Owned cause = Owned::steal(PyException_GetCause(chain[i - 1].get()));
        const std::string_view separator = cause.get() == chain[i].get() ? kCauseSeparator : kContextSeparator;
        if (PyFile_WriteString(std::string(separator).c_str(), out) != 0)
            return false;
    }
    return true;
}

// The code object of a Python function or method installed as a handler.
Owned handler_code(PyObject *handler) {
    if (PyMethod_Check(handler))
        handler = PyMethod_GET_FUNCTION(handler);
    return PyFunction_Check(handler) ? Owned::borrow(PyFunction_GET_CODE(handler)) : Owned();
}

}  // namespace

bool raised_by_signal_handler(PyObject *exc) {
    Owned name = Owned::steal(PyUnicode_FromString("_signal"));
    Owned module = name ? Owned::steal(PyImport_GetModule(name.get())) : Owned();
    Owned getsignal = module ? Owned::steal(PyObject_GetAttrString(module.get(), "getsignal")) : Owned();
    Owned nsig = module ? Owned::steal(PyObject_GetAttrString(module.get(), "NSIG")) : Owned();
    const long count = nsig ? PyLong_AsLong(nsig.get()) : -1;
    std::vector<Owned> codes;
    for (long signum = 1; getsignal && signum < count; ++signum) {
        Owned handler = Owned::steal(PyObject_CallFunction(getsignal.get(), "l", signum));
        if (!handler) {
            PyErr_Clear();  // not a signal number of this system
            continue;
        }
        if (Owned code = handler_code(handler.get()))
            codes.push_back(std::move(code));
    }
    PyErr_Clear();
    if (codes.empty())
        return false;
    for (Owned tb = Owned::steal(PyException_GetTraceback(exc)); tb;) {
        PyFrameObject *frame = reinterpret_cast<PyTracebackObject *>(tb.get())->tb_frame;
        Owned code = Owned::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
        for (const Owned &handler : codes) {
            if (handler.get() == code.get())
                return true;
        }
        tb = Owned::borrow(reinterpret_cast<PyObject *>(reinterpret_cast<PyTracebackObject *>(tb.get())->tb_next));
    }
    return false;
}

std::string traceback_text(PyObject *exc, Owned &interrupt) {
    Owned io = Owned::steal(PyImport_ImportModule("io"));
    Owned out = io ? Owned::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : Owned();
    const bool written = out && write_chain(out.get(), exc, interrupt);
    Owned value = written ? Owned::steal(PyObject_CallMethod(out.get(), "getvalue", nullptr)) : Owned();
    Owned bytes = value ? Owned::steal(PyUnicode_AsEncodedString(value.get(), "utf-8", "backslashreplace"))
                        : Owned();
    if (bytes)
        return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    keep_first(interrupt);
    return std::string("<traceback unavailable> ") + Py_TYPE(exc)->tp_name + "\n";
}

}  // namespace kestrine::binding
