# Toolchain for 32-bit Windows programs (mingw-w64, posix threads: gcc 12's win32 thread model has
# no std::thread). Used by tools/cross-build.sh; the package comes from `tools/deps.sh cross`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZELKO_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZELKO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELKO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELKO_MINGW_TRIPLE}-windres)

# Headers and libraries from the toolchain's sysroot only; build programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZELKO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static runtime: the program needs no libstdc++, libgcc or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
