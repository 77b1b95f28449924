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
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

# The installer: both programs into Program Files, a Start-menu entry for
# the dialog and an uninstaller (`cmake --build <dir> --target installer`).
find_program(VEXO3_MAKENSIS makensis)
if(VEXO3_MAKENSIS AND TARGET vexo3 AND TARGET vexo3-updater)
  set(VEXO3_SETUP ${CMAKE_BINARY_DIR}/vexo3-${PROJECT_VERSION}-setup.exe)
  set(nsi ${CMAKE_CURRENT_SOURCE_DIR}/windows/vexo3-setup.nsi)
  set(icon ${PROJECT_BINARY_DIR}/src/ui/win32/vexo3-updater.ico)
  # Stripped copies, as in the zip.
  set(stage ${CMAKE_BINARY_DIR}/installer)
  add_custom_command(OUTPUT ${VEXO3_SETUP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_STRIP} -o ${stage}/vexo3-updater.exe $<TARGET_FILE:vexo3-updater>
    COMMAND ${CMAKE_STRIP} -o ${stage}/vexo3.exe $<TARGET_FILE:vexo3>
    COMMAND ${VEXO3_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
            -DUPDATER_EXE=${stage}/vexo3-updater.exe -DCLI_EXE=${stage}/vexo3.exe
            -DREADME=${PROJECT_SOURCE_DIR}/README.md -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
            -DICON=${icon} -DOUT_FILE=${VEXO3_SETUP} ${nsi}
    DEPENDS ${nsi} vexo3 vexo3-updater vexo3_win32_icon ${PROJECT_SOURCE_DIR}/README.md
            ${PROJECT_SOURCE_DIR}/LICENSE VERBATIM)
  add_custom_target(installer DEPENDS ${VEXO3_SETUP})
endif()

set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_NAME "vexo3")
set(CPACK_PACKAGE_VENDOR "Vexo-3 updater team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Vexo-3 devices")
set(CPACK_SYSTEM_NAME "windows-x64")
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
