// Linked only into modules that carry the C++ runtime inside them (see
// CMakeLists.txt): two definitions that keep that runtime small and let the
// module load wherever the shared runtime's baseline C library would.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

// Both belong to GCC's runtime; with any other there is nothing to replace.
#if defined(__GLIBCXX__)
#include <cxxabi.h>

// The runtime's own terminate handler says the same, but demangles the type
// name first, and the demangler alone would be a quarter of the module. An
// exception only gets here by escaping a call boundary, which catches them
// all, so this is a last word, not a path.
void __gnu_cxx::__verbose_terminate_handler() {
    if (const std::type_info *type = abi::__cxa_current_exception_type())
        std::fprintf(stderr, "terminate called after throwing an instance of '%s'\n", type->name());
    else
        std::fputs("terminate called without an active exception\n", stderr);
    std::abort();
}

// The runtime asks this flag whether the process is still single-threaded,
// to skip atomic operations when it is. The C library has had it only
// since 2.32; answering "no" locally keeps every operation atomic, which is
// always correct, and keeps the module off that symbol.
extern "C" {
char __libc_single_threaded = 0;
}

#endif  // __GLIBCXX__
