# Cross-build for 64-bit Windows with Debian's mingw-w64; tests under wine in
# a 64-bit wine prefix.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VEXO3_MINGW_TRIPLE x86_64-w64-mingw32)
set(VEXO3_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
