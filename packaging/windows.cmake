# The Windows release artefact: a zip with vexo3.exe, vexo3-updater.exe, the
# README and the licence (cpack -G ZIP, or `cmake --build <dir> --target
# package`). Test-only programs and the stand-in driver DLL are never
# installed.
if(TARGET vexo3)
  install(TARGETS vexo3 RUNTIME DESTINATION .)
endif()
if(TARGET vexo3-updater)
  install(TARGETS vexo3-updater RUNTIME DESTINATION .)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
foreach(licence IN ITEMS LICENSE LICENSE.txt COPYING)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${licence})
    install(FILES ${PROJECT_SOURCE_DIR}/${licence} DESTINATION .)
  endif()
endforeach()

set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_NAME "vexo3")
set(CPACK_PACKAGE_VENDOR "Vexo-3 updater team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Vexo-3 devices")
set(CPACK_SYSTEM_NAME "windows-x64")
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
