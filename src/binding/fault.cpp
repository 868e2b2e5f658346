#include "fault.hpp"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestrine::binding {
namespace {

// Threads have no names of their own in CPython, so the main thread is
// called "main" and others go by their kernel name and id.
std::string current_thread_label() {
    const long tid = syscall(SYS_gettid);
    if (tid == getpid())
        return "main";
    char name[17] = {};  // the kernel's limit, with its terminator
    if (prctl(PR_GET_NAME, name) != 0 || name[0] == '\0')
        return "<unnamed> (" + std::to_string(tid) + ")";
    return std::string(name) + " (" + std::to_string(tid) + ")";
}

}  // namespace

void write_fault_report(std::string_view message, const std::source_location &where) noexcept {
    try {
        const std::string thread = current_thread_label();
        std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%.*s\n", thread.c_str(),
                     where.file_name(), static_cast<unsigned>(where.line()),
                     static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
                     message.data());
    } catch (...) {
        std::fprintf(stderr, "\npanicked at %s:%u:%u\n", where.file_name(),
                     static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
    }
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    write_fault_report(message, where);
    throw Panic(std::move(message));
}

void panic_static(const char *message, std::source_location where) {
    write_fault_report(message, where);
    throw Panic(message);
}

void panic_opaque(OpaquePayload payload, std::source_location where) {
    write_fault_report("<fault payload without text>", where);
    throw Panic(payload);
}

void resume_panic(std::string message) { throw Panic(std::move(message)); }

void abort_at_boundary(std::source_location where) noexcept {
    write_fault_report("uncaught panic at ffi boundary", where);
    std::abort();
}

namespace {

std::string index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace

void panic_index_out_of_bounds(std::size_t len, std::size_t index,
                               const std::source_location &where) {
    panic(index_out_of_bounds(len, index), where);
}

std::string report_index_out_of_bounds(std::size_t len, std::size_t index,
                                       const std::source_location &where) {
    std::string message = index_out_of_bounds(len, index);
    write_fault_report(message, where);
    return message;
}

}  // namespace kestrine::binding
