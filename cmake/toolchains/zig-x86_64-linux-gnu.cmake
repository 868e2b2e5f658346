# clang and libc++ from zig, for x86-64 Linux with glibc 2.17 as the floor.
# KESTRINE_ZIG names the zig program (scripts/env.sh's zig_toolchain prints
# it), in the cache or the environment. The target is one of the compiler's
# mandatory arguments: CMake takes a compiler given as a list as the
# program and those.
if(NOT KESTRINE_ZIG)
  set(KESTRINE_ZIG "$ENV{KESTRINE_ZIG}" CACHE FILEPATH "The zig program")
endif()
if(NOT KESTRINE_ZIG)
  message(FATAL_ERROR "no zig: set KESTRINE_ZIG (scripts/env.sh's zig_toolchain prints it)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRINE_ZIG)
set(CMAKE_C_COMPILER "${KESTRINE_ZIG}" cc -target x86_64-linux-gnu.2.17)
set(CMAKE_CXX_COMPILER "${KESTRINE_ZIG}" c++ -target x86_64-linux-gnu.2.17)
