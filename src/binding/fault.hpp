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

#include "platform.hpp"  // KESTRINE_PASS_FORCED_UNWIND

namespace kestrine::binding {

// A payload that carries no text; the boundary reports it with a fixed
// message.
struct OpaquePayload {
    int code = 0;
};

using PanicPayload = std::variant<std::string, const char *, OpaquePayload>;

// Deliberately not derived from std::exception: nothing but a boundary
// should ever catch it by accident.
class Panic {
public:
    explicit Panic(PanicPayload payload) noexcept : payload_(std::move(payload)) {}
    const PanicPayload &payload() const noexcept { return payload_; }

private:
    PanicPayload payload_;
};

// Diagnostic text for standard error: sys.stderr when the interpreter can
// take it, the C stream otherwise.
void write_diagnostic(std::string_view text);

// Writes the fault report (thread, raising site, message).
void write_fault_report(std::string_view message, const std::source_location &where);

// Report, then throw. The default argument captures the caller's site.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());
[[noreturn]] void panic_static(const char *message,
                               std::source_location where = std::source_location::current());
[[noreturn]] void panic_opaque(OpaquePayload payload,
                               std::source_location where = std::source_location::current());

// Throws without a new report: the fault was already reported once, before
// it passed through Python as a PanicException.
[[noreturn]] void resume_panic(std::string message);

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
