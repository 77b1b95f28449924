# Third-party libraries, as targets: CLI11::CLI11, nlohmann_json::nlohmann_json
# and, with tests, GTest::gtest, GTest::gtest_main, GTest::gmock.
#
# Native builds use Debian's packages. A Windows cross-build can't: Debian
# has no mingw builds of them, and putting /usr/include on the cross
# compiler's path would mix the host's C library headers into it. The two
# header-only libraries are copied into the build tree from the host's
# packages, and GoogleTest is built from Debian's source package with the
# cross toolchain.

if(NOT CMAKE_CROSSCOMPILING)
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json REQUIRED)
  if(VEXO3_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
  return()
endif()

set(VEXO3_STAGED_INCLUDE ${CMAKE_BINARY_DIR}/staged/include)
foreach(dir IN ITEMS CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/bootstrap")
  endif()
  file(COPY /usr/include/${dir} DESTINATION ${VEXO3_STAGED_INCLUDE})
endforeach()

add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VEXO3_STAGED_INCLUDE})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${VEXO3_STAGED_INCLUDE})

if(VEXO3_BUILD_TESTS)
  set(VEXO3_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  if(NOT EXISTS ${VEXO3_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "${VEXO3_GOOGLETEST_SOURCE} is missing: run scripts/bootstrap")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${VEXO3_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # GoogleTest's own build names its targets GTest::gtest, GTest::gmock, ...
endif()
