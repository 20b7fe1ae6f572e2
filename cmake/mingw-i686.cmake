# Cross-compiles 32-bit Windows programs with MinGW-w64 (POSIX threads), statically linked.
set(ZT_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
