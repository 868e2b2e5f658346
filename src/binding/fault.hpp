// Internal faults: unrecoverable conditions in native code.
//
// A fault is a C++ exception of its own type. It is thrown where the
// condition is found, after a report has gone to standard error, and only a
// call boundary (boundary.hpp) catches it, turning it into PanicException.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

#include "platform.hpp"  // pass_foreign_unwind
#include "ref.hpp"

namespace kestrine::binding {

// A payload that carries no text; the boundary reports it with a fixed
// message.
struct OpaquePayload {
    int code = 0;
};

using PanicPayload = std::variant<std::string, const char *, OpaquePayload>;

// Deliberately not derived from std::exception: nothing but a boundary
// should ever catch it by accident.
//
// A fault may also carry an interrupt (KeyboardInterrupt, SystemExit: any
// non-Exception) that the stream raised while the report was written: it
// belongs to the caller, and the boundary raises it in the fault's place.
class Panic {
public:
    explicit Panic(PanicPayload payload, Owned interrupt = {}) noexcept
        : payload_(std::move(payload)), interrupt_(std::move(interrupt)) {}
    const PanicPayload &payload() const noexcept { return payload_; }
    // Caught by const reference, so the interrupt is handed out from a
    // mutable member, once.
    Owned take_interrupt() const noexcept { return std::move(interrupt_); }

private:
    PanicPayload payload_;
    mutable Owned interrupt_;
};

// Diagnostic text for standard error: sys.stderr when the interpreter can
// take it, the C stream otherwise. Returns the interrupt, if any, that the
// stream raised; an ordinary exception from it only sends the text to the
// C stream.
[[nodiscard]] Owned write_diagnostic(std::string_view text);

// Writes `heading` and the traceback of `exc` (or a note that there is
// none) the same way, in one piece. `interrupt` is one already raised on
// the way here; the first interrupt of all is returned.
[[nodiscard]] Owned write_exception(std::string_view heading, PyObject *exc, Owned interrupt = {});

// Writes the fault report (thread, raising site, message).
[[nodiscard]] Owned write_fault_report(std::string_view message, const std::source_location &where);

// Report, then throw. The default argument captures the caller's site.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());
[[noreturn]] void panic_static(const char *message,
                               std::source_location where = std::source_location::current());
[[noreturn]] void panic_opaque(OpaquePayload payload,
                               std::source_location where = std::source_location::current());

// panic() for a fault whose first report part was already written and
// raised `interrupt` (or none): the first interrupt is the one kept.
[[noreturn]] void panic_after(Owned interrupt, std::string message,
                              std::source_location where = std::source_location::current());

// Whether an exception must reach the caller even where an ordinary one
// is dropped or papered over: an interrupt (KeyboardInterrupt, SystemExit:
// anything that is not an Exception), or an exception that a signal
// handler raised, which in pure Python would propagate from wherever the
// handler happened to run.
bool for_the_caller(PyObject *exc);

// What a failed interpreter call has set, if it is for the caller; an
// ordinary exception is dropped.
[[nodiscard]] Owned take_for_caller();

// Throws without a new report: the fault was already reported once, before
// it passed through Python as a PanicException.
[[noreturn]] void resume_panic(std::string message, Owned interrupt);

// A fault that escaped a boundary's own error handling: nothing sane is left
// to do but report and abort.
[[noreturn]] void abort_at_boundary(
    std::source_location where = std::source_location::current()) noexcept;

// Reports an out-of-bounds read and returns the fault for the caller to
// throw: thrown from the reading frame, it has one frame fewer to unwind.
Panic index_out_of_bounds(std::size_t len, std::size_t index, const std::source_location &where);

// Bounds-checked element read whose fault names the caller's line and column.
template <class Vec>
const auto &checked_at(const Vec &vec, std::size_t index,
                       std::source_location where = std::source_location::current()) {
    if (index >= vec.size()) [[unlikely]]
        throw index_out_of_bounds(vec.size(), index, where);
    return vec[index];
}

}  // namespace kestrine::binding
