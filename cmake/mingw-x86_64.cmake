# Cross-compiles 64-bit Windows programs with MinGW-w64 (POSIX threads), statically linked.
set(ZT_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
