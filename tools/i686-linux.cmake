# Toolchain for the whole suite as a 32-bit x86 program, run on this machine (tools/test-i686.sh).
# The target's compilers do float arithmetic in SSE registers and align 64-bit members to 8 bytes;
# the flags below do the same. The programs load the cross compiler's own C and C++ runtime, so
# nothing 32-bit needs installing system-wide.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -malign-double")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -malign-double")

set(ZELKO_I686_RUNTIME /usr/i686-linux-gnu/lib)
# RPATH rather than RUNPATH: the test-only peers' own dependencies resolve from the same folders.
set(ZELKO_I686_LINK "-Wl,--dynamic-linker=${ZELKO_I686_RUNTIME}/ld-linux.so.2 -Wl,-rpath,${ZELKO_I686_RUNTIME} -Wl,--disable-new-dtags")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZELKO_I686_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZELKO_I686_LINK}")

# Libraries and headers only from the i386 packages unpacked in ZELKO_I686_PEERS, never the host's.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
if(ZELKO_I686_PEERS)
  set(CMAKE_FIND_ROOT_PATH ${ZELKO_I686_PEERS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
