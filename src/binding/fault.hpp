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

// Writes the fault report (thread, raising site, message) to stderr.
void write_fault_report(std::string_view message, const std::source_location &where) noexcept;

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

[[noreturn]] void panic_index_out_of_bounds(std::size_t len, std::size_t index,
                                            const std::source_location &where);

// Bounds-checked element read whose fault names the caller's line and column.
template <class Vec>
const auto &checked_at(const Vec &vec, std::size_t index,
                       std::source_location where = std::source_location::current()) {
    if (index >= vec.size()) [[unlikely]]
        panic_index_out_of_bounds(vec.size(), index, where);
    return vec[index];
}

// Writes the out-of-bounds report and returns its message.
std::string report_index_out_of_bounds(std::size_t len, std::size_t index,
                                       const std::source_location &where);

// A vector whose reads past the end are faults recorded rather than
// thrown, for a caller that hands the fault back as an error value instead
// of unwinding (a C++ throw costs several times the rest of a refused
// call). The first such read writes the same report panic() would and keeps
// its message; later reads give 0 and report nothing, as if the first had
// stopped the caller.
template <class Vec>
class RecordingReads {
public:
    explicit RecordingReads(const Vec &vec) noexcept : vec_(vec) {}

    float read(std::size_t index, const std::source_location &where) {
        if (index < vec_.size()) [[likely]]
            return vec_[index];
        if (!faulted_)
            message_ = report_index_out_of_bounds(vec_.size(), index, where);
        faulted_ = true;
        return 0.0f;
    }

    bool faulted() const noexcept { return faulted_; }
    std::string take_message() noexcept { return std::move(message_); }

private:
    const Vec &vec_;
    bool faulted_ = false;
    std::string message_;
};

template <class Vec>
float checked_at(RecordingReads<Vec> &reads, std::size_t index,
                 std::source_location where = std::source_location::current()) {
    return reads.read(index, where);
}

}  // namespace kestrine::binding
