; The Windows installer: vexo3-updater.exe and vexo3.exe into Program Files,
; a Start-menu entry for the dialog, an uninstaller registered with Windows.
; It holds the programs twice, built for 64-bit and for 32-bit Windows, and
; installs those of the Windows it runs on (the installer itself is a 32-bit
; program, so it starts on both). Built by the `installer` target of the
; 64-bit Windows build:
;   makensis -DVERSION=1.2.0 -DUPDATER_EXE_X64=<vexo3-updater.exe> -DCLI_EXE_X64=<vexo3.exe>
;            -DUPDATER_EXE_X86=<vexo3-updater.exe> -DCLI_EXE_X86=<vexo3.exe>
;            -DREADME=<README.md> -DLICENSE=<LICENSE> -DICON=<vexo3-updater.ico>
;            -DOUT_FILE=<setup.exe>
;            vexo3-setup.nsi
; /S installs (and uninstalls) without asking; /D=FOLDER (last) chooses the
; folder.

Unicode true
Target x86-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include x64.nsh
!include LogicLib.nsh

!define PRODUCT "Vexo-3 updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexo3Updater"

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ver. 1.2 setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 The Vexo-3 updater developers (MIT licence)"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; 64-bit Windows: the 64-bit programs into the 64-bit Program Files, the
; uninstall entry in the 64-bit registry. 32-bit Windows: its only ones.
!macro UseTheSystemsView
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend

Function .onInit
  !insertmacro UseTheSystemsView
  ${If} $INSTDIR == ""  ; no /D=
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ${If} ${RunningX64}
      StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${Else}
      StrCpy $INSTDIR "$PROGRAMFILES\${PRODUCT}"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Install"
  !insertmacro UseTheSystemsView
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  ${If} ${RunningX64}
    File "/oname=vexo3-updater.exe" "${UPDATER_EXE_X64}"
    File "/oname=vexo3.exe" "${CLI_EXE_X64}"
  ${Else}
    File "/oname=vexo3-updater.exe" "${UPDATER_EXE_X86}"
    File "/oname=vexo3.exe" "${CLI_EXE_X86}"
  ${EndIf}
  File "/oname=README.md" "${README}"
  File "/oname=LICENSE" "${LICENSE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\vexo3-updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vexo3-updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !insertmacro UseTheSystemsView
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\vexo3-updater.exe"
  Delete "$INSTDIR\vexo3.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
