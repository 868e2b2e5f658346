# Linux aarch64 (Debian arm64), cross-compiled with Debian's GCC 12.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(kestrine_triplet aarch64-linux-gnu)
set(kestrine_multiarch aarch64-linux-gnu)
set(kestrine_deb_arch arm64)
include("${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake")
