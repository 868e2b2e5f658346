# The language settings and the options of every unit with GCC or clang,
# read by CMakeLists.txt. Run as a script from the checkout's root
# (cmake -P cmake/flags.cmake), it prints them as compiler flags, one a
# line, for scripts/cross.sh: it compiles for targets CMake has no platform
# files or linker for here (macOS, Windows, FreeBSD) and so calls the
# compiler itself.
set(kestrine_cxx_standard 23)
# Fault reports name source files relative to the project root.
set(kestrine_gnu_options -Wall -Wextra "-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=")

if(CMAKE_SCRIPT_MODE_FILE)
  # The flags CMake derives from CMakeLists.txt's settings of the standard
  # (no extensions), position-independent code and hidden visibility.
  set(flags "-std=c++${kestrine_cxx_standard}" ${kestrine_gnu_options} -fPIC -fvisibility=hidden
            -fvisibility-inlines-hidden)
  list(JOIN flags "\n" flags)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${flags}")
endif()
