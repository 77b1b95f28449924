# Cross-build for 32-bit Windows with Debian's mingw-w64; tests under wine in
# a 32-bit wine prefix (WINEARCH=win32, needs wine32).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEXO3_MINGW_TRIPLE i686-w64-mingw32)
set(VEXO3_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
