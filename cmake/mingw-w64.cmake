# The part of the Windows cross-build toolchain that both architectures share
# (included by mingw-w64-x86_64.cmake and mingw-w64-i686.cmake, which set
# CMAKE_SYSTEM_PROCESSOR, VEXO3_MINGW_TRIPLE and VEXO3_WINE_ARCH first).
# Debian's mingw-w64 in its POSIX-threads flavour, for std::thread and
# std::mutex. The programs link libgcc, libstdc++ and winpthread statically,
# so a .exe needs no DLL of ours beside it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VEXO3_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXO3_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXO3_MINGW_TRIPLE}-windres)

# Only the mingw sysroot: the host's /usr/include must never reach the cross
# compiler (header-only libraries are staged into the build tree instead).
set(CMAKE_FIND_ROOT_PATH /usr/${VEXO3_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest and custom commands run the programs under wine, in a wine prefix of
# the build tree's own (made on first use, of the build's architecture: a
# 32-bit build gets a 32-bit Windows, whose system folder is system32).
set(VEXO3_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${VEXO3_WINE_ARCH} ${VEXO3_WINE_PREFIX})
# The status of a test that wine can't run on this machine (a 32-bit program
# where the kernel can't execute 32-bit ones; scripts/wine-loader): skipped,
# not passed, in ctest's summary.
set(VEXO3_WINE_SKIP_RETURN_CODE 77)
