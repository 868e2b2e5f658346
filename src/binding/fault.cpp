// Python.h first: it sets feature macros the C library headers read.
#include <Python.h>

#include "fault.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace kestrine::binding {

bool for_the_caller(PyObject *exc) {
    return !PyErr_GivenExceptionMatches(exc, PyExc_Exception) || raised_by_signal_handler(exc);
}

Owned take_for_caller() {
    Owned raised = Owned::steal(PyErr_GetRaisedException());
    if (raised && for_the_caller(raised.get()))
        return raised;
    raised.reset();
    return {};
}

namespace {

struct StreamWrite {
    bool written = false;
    Owned interrupt;
};


// Through sys.stderr, so that whatever the program did with it (a capture,
// a redirection, a notebook) gets the report along with the traceback that
// follows it. An exception pending before the write is kept across it.
StreamWrite write_to_sys_stderr(std::string_view text) {
    StreamWrite out;
    if (!holds_gil())
        return out;
    Owned pending = Owned::steal(PyErr_GetRaisedException());
    Owned file = Owned::borrow(PySys_GetObject("stderr"));
    if (file && file.get() != Py_None) {
        Owned str = Owned::steal(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        out.written = str && PyFile_WriteObject(str.get(), file.get(), Py_PRINT_RAW) == 0;
        if (out.written)
            Owned::steal(PyObject_CallMethod(file.get(), "flush", nullptr));
    }
    out.interrupt = take_for_caller();
    PyErr_SetRaisedException(pending.release());
    return out;
}

}  // namespace

Owned write_diagnostic(std::string_view text) {
    StreamWrite out = write_to_sys_stderr(text);
    if (!out.written) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    return std::move(out.interrupt);
}

Owned write_exception(std::string_view heading, PyObject *exc, Owned interrupt) {
    std::string text(heading);
    text += exc ? traceback_text(exc, interrupt) : std::string("<no exception set>\n");
    Owned written = write_diagnostic(text);
    return interrupt ? std::move(interrupt) : std::move(written);
}

Owned write_fault_report(std::string_view message, const std::source_location &where) {
    std::string report;
    try {
        report = "\nthread '" + current_thread_label() + "' panicked at " + where.file_name() + ":" +
                 std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n";
        report.append(message).append("\n");
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "\npanicked at %s:%u:%u\n", where.file_name(),
                     static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
        std::fflush(stderr);
        return {};
    }
    return write_diagnostic(report);
}

void panic(std::string message, std::source_location where) {
    Owned interrupt = write_fault_report(message, where);
    throw Panic(std::move(message), std::move(interrupt));
}

void panic_static(const char *message, std::source_location where) {
    throw Panic(message, write_fault_report(message, where));
}

void panic_after(Owned interrupt, std::string message, std::source_location where) {
    Owned reported = write_fault_report(message, where);
    throw Panic(std::move(message), interrupt ? std::move(interrupt) : std::move(reported));
}

void panic_opaque(OpaquePayload payload, std::source_location where) {
    throw Panic(payload, write_fault_report("<fault payload without text>", where));
}

void resume_panic(std::string message, Owned interrupt) {
    throw Panic(std::move(message), std::move(interrupt));
}

void abort_at_boundary(std::source_location where) noexcept {
    // The process is about to end: straight to the C stream.
    std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\nuncaught panic at ffi boundary\n",
                 current_thread_label().c_str(), where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
    std::fflush(stderr);
    std::abort();
}

Panic index_out_of_bounds(std::size_t len, std::size_t index, const std::source_location &where) {
    char message[96];
    std::snprintf(message, sizeof message, "index out of bounds: the len is %zu but the index is %zu", len,
                  index);
    Owned interrupt = write_fault_report(message, where);
    return Panic(std::string(message), std::move(interrupt));
}

}  // namespace kestrine::binding
