# What the cross builds share, included by the toolchain file of each target
# once it has set kestrine_triplet (the compiler's), kestrine_multiarch
# (Debian's include directory), kestrine_deb_arch and CMAKE_SYSTEM_PROCESSOR.
#
# The compiler is Debian's GCC 12 cross compiler ($CXX if set): an older
# libstdc++ keeps a wheel's symbol versions low. The CPython is that of the
# target's sid chroot (scripts/sid.sh): KESTRINE_SID is its root
# (/var/cache/kestrine/sid-ARCH unless the cache or the environment says
# otherwise), KESTRINE_TARGET_PYTHON its version.
set(CMAKE_SYSTEM_NAME Linux)
if(DEFINED ENV{CXX})
  set(CMAKE_CXX_COMPILER "$ENV{CXX}")
else()
  set(CMAKE_CXX_COMPILER "${kestrine_triplet}-g++-12")
endif()

if(DEFINED ENV{KESTRINE_SID})
  set(kestrine_sid_default "$ENV{KESTRINE_SID}")
else()
  set(kestrine_sid_default "/var/cache/kestrine/sid-${kestrine_deb_arch}")
endif()
set(KESTRINE_SID "${kestrine_sid_default}" CACHE PATH "Root of the target's sid chroot")
set(KESTRINE_TARGET_PYTHON 3.14 CACHE STRING "The chroot's CPython version the module is built for")
# try_compile projects read this file again: they get the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRINE_SID KESTRINE_TARGET_PYTHON)

set(kestrine_python_include "${KESTRINE_SID}/usr/include/python${KESTRINE_TARGET_PYTHON}")
if(NOT EXISTS "${kestrine_python_include}/Python.h")
  message(FATAL_ERROR "no Python ${KESTRINE_TARGET_PYTHON} headers in ${KESTRINE_SID}: "
                      "make the chroot with KESTRINE_ARCH=${kestrine_deb_arch} bash scripts/sid.sh true")
endif()
# No interpreter of the target runs here to tell its headers and extension
# suffix (CMakeLists.txt takes them given).
set(Python_INCLUDE_DIR "${kestrine_python_include}" CACHE PATH "")
string(REPLACE "." "" kestrine_python_nodot "${KESTRINE_TARGET_PYTHON}")
set(Python_SOABI "cpython-${kestrine_python_nodot}-${kestrine_multiarch}" CACHE STRING "")

# Debian's pyconfig.h includes the architecture's own as
# <MULTIARCH/pythonVERSION/pyconfig.h>: a directory holding that link alone
# goes on the include path, so the chroot's C library headers stay out of it
# and the cross compiler's serve. It lives in the checkout's build/, where
# the try_compile projects find it too.
get_filename_component(kestrine_links "${CMAKE_CURRENT_LIST_DIR}/../../build/include-${kestrine_deb_arch}" ABSOLUTE)
file(MAKE_DIRECTORY "${kestrine_links}/${kestrine_multiarch}")
file(CREATE_LINK "${KESTRINE_SID}/usr/include/${kestrine_multiarch}/python${KESTRINE_TARGET_PYTHON}"
     "${kestrine_links}/${kestrine_multiarch}/python${KESTRINE_TARGET_PYTHON}" SYMBOLIC)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${kestrine_links}")
