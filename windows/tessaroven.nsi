; The Windows installer: 64-bit, Japanese or English pages. makensis gets
;   -DVERSION=1.0.4.5 -DPROGRAMS=<folder with tessaroven.exe and tessaroven-ctl.exe>
;   -DICON=<tessaroven.ico> -DOUTFILE=<setup.exe>
; (scripts/build-windows gives them). "setup.exe /S" installs silently, "uninstall.exe /S"
; uninstalls silently; the recorded print data and the settings are kept.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "MUI2.nsh"
!include "x64.nsh"

!define PRODUCT "Tessaroven"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessaroven"
!define SETTINGS_KEY "SOFTWARE\Tessaroven\Setting"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) 2026 The Tessaroven developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\tessaroven.exe"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Japanese"
!insertmacro MUI_LANGUAGE "English"

LangString NeedsWindows64 ${LANG_JAPANESE} "このプログラムは 64 ビット版の Windows が必要です。"
LangString NeedsWindows64 ${LANG_ENGLISH} "This program needs 64-bit Windows."
LangString StartMenuUninstall ${LANG_JAPANESE} "Tessaroven のアンインストール"
LangString StartMenuUninstall ${LANG_ENGLISH} "Uninstall Tessaroven"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "$(NeedsWindows64)" /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  ; The same language as the desktop unless the user picks another.
  !insertmacro MUI_LANGDLL_DISPLAY
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

; A monitor that runs in this session stops first (its files are in use while it runs); it
; hands over the jobs it follows.
!macro StopMonitor
  IfFileExists "$INSTDIR\tessaroven-ctl.exe" 0 +2
    nsExec::Exec '"$INSTDIR\tessaroven-ctl.exe" stop --wait 20'
!macroend

Section "Tessaroven"
  SetShellVarContext all
  !insertmacro StopMonitor
  SetOutPath "$INSTDIR"
  File "${PROGRAMS}\tessaroven.exe"
  File "${PROGRAMS}\tessaroven-ctl.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The records of every user of this computer go to one common folder that every user may
  ; write to (each appends to a file of their own).
  CreateDirectory "$APPDATA\${PRODUCT}"
  nsExec::Exec 'icacls "$APPDATA\${PRODUCT}" /grant *S-1-5-32-545:(OI)(CI)M'
  ; An existing choice of folder (a share, set in the options) is kept.
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "DataFileDirectory"
  ${If} $0 == ""
    WriteRegStr HKLM "${SETTINGS_KEY}" "DataFileDirectory" "$APPDATA\${PRODUCT}"
  ${EndIf}

  ; Every user's session starts the monitor.
  CreateShortcut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\tessaroven.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\tessaroven.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\$(StartMenuUninstall).lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Tessaroven developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tessaroven.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The programs, shortcuts and the uninstall entry go; the print data and the settings stay.
Section "Uninstall"
  SetShellVarContext all
  !insertmacro StopMonitor
  Delete "$SMSTARTUP\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\*.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$INSTDIR\tessaroven.exe"
  Delete "$INSTDIR\tessaroven-ctl.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
