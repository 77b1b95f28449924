# The web build's toolchain: Debian's Emscripten, with what its Debian
# packaging leaves to the caller.
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)

# Emscripten's JavaScript optimizer runs at link time under Debian's node,
# which finds acorn only on Debian's own module path.
set(CMAKE_CXX_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)

# The page's tests and benchmarks run its script under node 20, which runs
# this Emscripten's output only without its own fetch.
set(CMAKE_CROSSCOMPILING_EMULATOR node --no-experimental-fetch)

# The simulator's profile parser reports a malformed profile through an
# exception of its JSON library: catching needs Emscripten's exception
# support, which is off unless asked for.
set(CMAKE_CXX_FLAGS_INIT "-fexceptions")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fexceptions")
