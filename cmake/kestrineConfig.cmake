# kestrine's public header, for extensions that read its classes' instances:
#
#   find_package(kestrine CONFIG REQUIRED)
#   target_link_libraries(my_extension PRIVATE kestrine::headers)
#
# The target carries the include directory alone. An extension links to
# Python as usual and never to kestrine: the header needs no library.
get_filename_component(_kestrine_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(kestrine_INCLUDE_DIRS "${_kestrine_root}/include")
set(kestrine_LAYOUT_VERSION 1)
unset(_kestrine_root)
if(NOT TARGET kestrine::headers)
  add_library(kestrine::headers INTERFACE IMPORTED)
  set_target_properties(kestrine::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${kestrine_INCLUDE_DIRS}")
endif()
