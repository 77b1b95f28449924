# The Windows release artefact: a zip for 64-bit or 32-bit Windows (the
# build's own) with vexo3.exe, vexo3-updater.exe, the README and the licence
# (cpack -G ZIP, or `cmake --build <dir> --target package`). Test-only
# programs and the stand-in driver DLL are never installed.
if(TARGET vexo3)
  install(TARGETS vexo3 RUNTIME DESTINATION .)
endif()
if(TARGET vexo3-updater)
  install(TARGETS vexo3-updater RUNTIME DESTINATION .)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

# The installer: both programs into Program Files, a Start-menu entry for
# the dialog and an uninstaller (`cmake --build <dir> --target installer`).
# One installer for 64-bit and 32-bit Windows, made by the 64-bit build: it
# holds both builds' programs, the 32-bit ones from the 32-bit build tree
# VEXO3_INSTALLER_X86_BUILD (configured with the windows-x86 preset; the
# target builds the two programs there first).
set(VEXO3_INSTALLER_X86_BUILD "" CACHE PATH
    "The 32-bit Windows build tree whose programs the installer holds beside the 64-bit ones")
find_program(VEXO3_MAKENSIS makensis)
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND VEXO3_INSTALLER_X86_BUILD AND VEXO3_MAKENSIS
   AND TARGET vexo3 AND TARGET vexo3-updater)
  set(VEXO3_SETUP ${CMAKE_BINARY_DIR}/vexo3-${PROJECT_VERSION}-setup.exe)
  set(nsi ${CMAKE_CURRENT_SOURCE_DIR}/windows/vexo3-setup.nsi)
  set(icon ${PROJECT_BINARY_DIR}/src/ui/win32/vexo3-updater.ico)
  set(x86 ${VEXO3_INSTALLER_X86_BUILD})
  # Stripped copies, as in the zips.
  set(stage ${CMAKE_BINARY_DIR}/installer)
  add_custom_target(installer
    COMMAND ${CMAKE_COMMAND} --build ${x86} --target vexo3 vexo3-updater
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/x64 ${stage}/x86
    COMMAND ${CMAKE_STRIP} -o ${stage}/x64/vexo3-updater.exe $<TARGET_FILE:vexo3-updater>
    COMMAND ${CMAKE_STRIP} -o ${stage}/x64/vexo3.exe $<TARGET_FILE:vexo3>
    COMMAND ${CMAKE_STRIP} -o ${stage}/x86/vexo3-updater.exe ${x86}/src/ui/win32/vexo3-updater.exe
    COMMAND ${CMAKE_STRIP} -o ${stage}/x86/vexo3.exe ${x86}/src/cli/vexo3.exe
    COMMAND ${VEXO3_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
            -DUPDATER_EXE_X64=${stage}/x64/vexo3-updater.exe -DCLI_EXE_X64=${stage}/x64/vexo3.exe
            -DUPDATER_EXE_X86=${stage}/x86/vexo3-updater.exe -DCLI_EXE_X86=${stage}/x86/vexo3.exe
            -DREADME=${PROJECT_SOURCE_DIR}/README.md -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
            -DICON=${icon} -DOUT_FILE=${VEXO3_SETUP} ${nsi}
    BYPRODUCTS ${VEXO3_SETUP}
    DEPENDS vexo3 vexo3-updater vexo3_win32_icon VERBATIM)
endif()

set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_NAME "vexo3")
set(CPACK_PACKAGE_VENDOR "Vexo-3 updater team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Vexo-3 devices")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME "windows-x64")
else()
  set(CPACK_SYSTEM_NAME "windows-x86")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
