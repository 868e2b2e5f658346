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

// The unwinder: libgcc_s's, as in any C++ program, but loaded when an
// exception is first thrown instead of with the module. Loading it costs
// about as much wall time as the rest of the import together, and most
// processes never throw. The runtime's calls into it land here and go on
// to the library's own functions, so there is still one unwinder in the
// process: the one glibc also loads to end a thread.
#if defined(__GLIBCXX__) && defined(__GLIBC__) && defined(__LP64__) && (defined(__x86_64__) || defined(__aarch64__))
#include <dlfcn.h>
#include <unwind.h>

// Linked against the oldest version of dlopen and dlsym, which the C
// library (or libdl, before 2.34) has always kept: the module still loads
// on the C library of the wheel's tag.
#if __GLIBC__ == 2 && __GLIBC_MINOR__ >= 34
#if defined(__x86_64__)
__asm__(".symver dlopen,dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
#else
__asm__(".symver dlopen,dlopen@GLIBC_2.17");
__asm__(".symver dlsym,dlsym@GLIBC_2.17");
#endif
#endif

namespace {

// Whatever already loaded the library (glibc does, to end a thread) lends
// it without touching the file system. Without an unwinder no exception
// can be raised at all, so a library that cannot be had ends the process,
// saying why.
void *unwinder_function(const char *name) {
    static void *const library = [] {
        void *loaded = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        return loaded ? loaded : dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_LOCAL);
    }();
    if (void *function = library ? dlsym(library, name) : nullptr)
        return function;
    const char *why = dlerror();
    std::fprintf(stderr, "kestrine: cannot %s the C++ unwinder (libgcc_s.so.1): %s\n",
                 library ? "find a function of" : "load", why ? why : name);
    std::abort();
}

}  // namespace

#define KESTRINE_UNWIND_FORWARD(ret, name, params, args)                                  \
    extern "C" ret name params {                                                          \
        static const auto function = reinterpret_cast<ret(*) params>(unwinder_function(#name)); \
        return function args;                                                             \
    }

KESTRINE_UNWIND_FORWARD(_Unwind_Reason_Code, _Unwind_RaiseException, (_Unwind_Exception * e), (e))
KESTRINE_UNWIND_FORWARD(void, _Unwind_Resume, (_Unwind_Exception * e), (e))
KESTRINE_UNWIND_FORWARD(_Unwind_Reason_Code, _Unwind_Resume_or_Rethrow, (_Unwind_Exception * e), (e))
KESTRINE_UNWIND_FORWARD(void, _Unwind_DeleteException, (_Unwind_Exception * e), (e))
KESTRINE_UNWIND_FORWARD(_Unwind_Ptr, _Unwind_GetIPInfo, (_Unwind_Context * c, int *before), (c, before))
KESTRINE_UNWIND_FORWARD(void *, _Unwind_GetLanguageSpecificData, (_Unwind_Context * c), (c))
KESTRINE_UNWIND_FORWARD(_Unwind_Ptr, _Unwind_GetRegionStart, (_Unwind_Context * c), (c))
KESTRINE_UNWIND_FORWARD(_Unwind_Ptr, _Unwind_GetTextRelBase, (_Unwind_Context * c), (c))
KESTRINE_UNWIND_FORWARD(_Unwind_Ptr, _Unwind_GetDataRelBase, (_Unwind_Context * c), (c))
KESTRINE_UNWIND_FORWARD(void, _Unwind_SetGR, (_Unwind_Context * c, int index, _Unwind_Word value),
                        (c, index, value))
KESTRINE_UNWIND_FORWARD(void, _Unwind_SetIP, (_Unwind_Context * c, _Unwind_Ptr ip), (c, ip))

#endif
