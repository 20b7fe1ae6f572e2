# Cross-compiles Windows programs with MinGW-w64 (POSIX thread model), statically linked, for
# ZT_MINGW_ARCH (i686 or x86_64), which the including toolchain file sets.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZT_MINGW_ARCH})
set(CMAKE_C_COMPILER ${ZT_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZT_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${ZT_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZT_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The C99 printf family of the MinGW runtime: snprintf truncates and terminates as C99 says
# (the trace relies on it), and %lld/%zu/%llx mean what they mean on every other platform.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
# Shipped builds carry no symbols or debug sections: the last section of a program is then its
# last stretch of bytes, which is where the .ZTBNDL section is laid out.
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
