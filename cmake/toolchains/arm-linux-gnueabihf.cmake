# Linux armv7l (Debian armhf), cross-compiled with Debian's GCC 12.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(kestrine_triplet arm-linux-gnueabihf)
set(kestrine_multiarch arm-linux-gnueabihf)
set(kestrine_deb_arch armhf)
include("${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake")
