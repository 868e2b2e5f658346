// What differs by platform, each piece with a portable fallback.
//
// Export control is not here but in the link (CMakeLists.txt): everything
// is compiled with hidden visibility and the link exports the init function
// alone, by a version script on ELF and an exported-symbols list on macOS.
// On Windows nothing leaves a DLL unless marked, and PyMODINIT_FUNC marks
// the init function. This unit includes no Python header, so it can be
// compiled for targets whose pyconfig.h this machine does not have.
#pragma once

#include <exception>
#include <string>

// Called first in every catch (...): lets go on what no C++ code may stop.
// The forced unwind by which pthread_exit ends a thread must leave every
// catch-all as it came, or the process aborts. It is no C++ exception: it
// has no object, so catching it by libstdc++'s type for it binds a
// reference to null (which UBSan reports), and std::current_exception() is
// empty for it, as for an exception of any other language's runtime. (A
// C++ runtime that does not stop a forced unwind at catch (...) never
// gets here with one.)
[[gnu::always_inline]] inline void pass_foreign_unwind() {
    if (!std::current_exception())
        throw;
}

// Initial-exec TLS: every call touches the innermost release scope
// (ref.hpp), and the general model would cost a __tls_get_addr call each
// time; one word fits the static TLS that ELF loaders keep for late
// libraries. Other object formats have their own fast paths and no such
// attribute.
#if defined(__ELF__)
#define KESTRINE_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define KESTRINE_TLS_INITIAL_EXEC
#endif

namespace kestrine::binding {

// The calling thread as fault reports name it: "main" for the process's
// main thread, else its system name and id, e.g. "worker (4711)", with
// "<unnamed>" where the system has no name for it.
std::string current_thread_label();

}  // namespace kestrine::binding
