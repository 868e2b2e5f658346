# What the compiler must accept and refuse, checked by every test build.

# Each header compiles alone, and a well-formed class unit compiles from
# pyclass.hpp alone: nothing leans on what its includer happened to include
# first.
file(GLOB kestrine_headers CONFIGURE_DEPENDS RELATIVE "${CMAKE_SOURCE_DIR}/src"
     "${CMAKE_SOURCE_DIR}/src/*.hpp" "${CMAKE_SOURCE_DIR}/src/*/*.hpp")
set(header_units)
foreach(header IN LISTS kestrine_headers)
  string(MAKE_C_IDENTIFIER "${header}" unit)
  set(unit "${CMAKE_BINARY_DIR}/header_units/${unit}.cpp")
  file(CONFIGURE OUTPUT "${unit}" CONTENT "#include \"${header}\"\n")
  list(APPEND header_units "${unit}")
endforeach()
add_library(kestrine_compile_checks OBJECT ${header_units} tests/compile/constructor_probe.cpp)
target_include_directories(kestrine_compile_checks PRIVATE src)
target_link_libraries(kestrine_compile_checks PRIVATE Python::Module)

# A Constructor whose description its converters do not fit fails to
# compile, with the static assertion that says why.
function(kestrine_expect_compile_error probe expected)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  set(flags "-DKESTRINE_PROBE=${probe}" "-I${CMAKE_SOURCE_DIR}/src")
  foreach(dir IN LISTS Python_INCLUDE_DIRS)
    list(APPEND flags "-I${dir}")
  endforeach()
  try_compile(compiled "${CMAKE_BINARY_DIR}/constructor_probe_${probe}"
              SOURCES "${CMAKE_SOURCE_DIR}/tests/compile/constructor_probe.cpp"
              COMPILE_DEFINITIONS ${flags}
              CXX_STANDARD 23 CXX_STANDARD_REQUIRED ON
              OUTPUT_VARIABLE output)
  set(result "${compiled}")
  unset(compiled CACHE)
  if(result)
    message(FATAL_ERROR "constructor probe ${probe} compiled; it must fail with \"${expected}\"")
  endif()
  string(FIND "${output}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "constructor probe ${probe} failed without \"${expected}\":\n${output}")
  endif()
endfunction()
kestrine_expect_compile_error(1 "Constructor cannot bind an optional parameter")
kestrine_expect_compile_error(2 "Constructor cannot bind an optional parameter")
kestrine_expect_compile_error(3 "Constructor needs exactly one converter per parameter")
