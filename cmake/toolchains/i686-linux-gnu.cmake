# Linux i686 (Debian i386), cross-compiled with Debian's GCC 12.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(kestrine_triplet i686-linux-gnu)
set(kestrine_multiarch i386-linux-gnu)
set(kestrine_deb_arch i386)
include("${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake")
