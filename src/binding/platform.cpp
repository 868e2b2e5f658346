#include "platform.hpp"

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread.h>

#include <cstdint>
#elif defined(_WIN32)
#include <windows.h>
#else
#include <thread>
#endif

namespace kestrine::binding {

namespace {

// Each platform answers three questions about the calling thread; an empty
// name means the system has none for it.
struct ThreadFacts {
    bool main;
    unsigned long long id;
    std::string name;
};

#if defined(__linux__)

// The kernel's own name and id. gettid() and pthread_getname_np() would
// raise the wheel's glibc floor; the system calls have no floor.
ThreadFacts this_thread() {
    const long tid = syscall(SYS_gettid);
    char name[16] = {};  // the kernel's limit, with its terminator
    if (prctl(PR_GET_NAME, name) != 0)
        name[0] = '\0';
    return {tid == getpid(), static_cast<unsigned long long>(tid), name};
}

#elif defined(__APPLE__)

ThreadFacts this_thread() {
    std::uint64_t tid = 0;
    pthread_threadid_np(nullptr, &tid);
    char name[64] = {};  // MAXTHREADNAMESIZE, with its terminator
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0)
        name[0] = '\0';
    return {pthread_main_np() != 0, tid, name};
}

#elif defined(_WIN32)

// Windows has no notion of a main thread: the one that loaded the module
// (the importing thread) stands in for it.
const DWORD loading_thread = GetCurrentThreadId();

// Thread descriptions exist from Windows 10 1607 on: looked up at run time
// so that older systems still load the module.
std::string thread_description() {
    using Getter = HRESULT(WINAPI *)(HANDLE, PWSTR *);
    const auto get = reinterpret_cast<Getter>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR wide = nullptr;
    if (get == nullptr || FAILED(get(GetCurrentThread(), &wide)))
        return {};
    std::string name;
    if (const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr); n > 1) {
        name.resize(static_cast<std::size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, name.data(), n, nullptr, nullptr);
        name.pop_back();  // the terminator
    }
    LocalFree(wide);
    return name;
}

ThreadFacts this_thread() {
    const DWORD tid = GetCurrentThreadId();
    return {tid == loading_thread, tid, thread_description()};
}

#else

// No names and no numeric ids: the thread that loaded the module stands in
// for the main thread, and every other one gets the placeholder alone.
const std::thread::id loading_thread = std::this_thread::get_id();

ThreadFacts this_thread() { return {std::this_thread::get_id() == loading_thread, 0, {}}; }

#endif

}  // namespace

std::string current_thread_label() {
    ThreadFacts facts = this_thread();
    if (facts.main)
        return "main";
    std::string label = facts.name.empty() ? "<unnamed>" : std::move(facts.name);
    if (facts.id != 0)
        label += " (" + std::to_string(facts.id) + ")";
    return label;
}

}  // namespace kestrine::binding
