; The Windows installer: per user, no administrator rights, Chinese throughout.
; makensis -DVERSION=1.00 -DSTAGE=<folder with the program> -DOUTFILE=<setup.exe> installer.nsi
Unicode true
; The default x86 stub cannot write a 64-bit program's registry view, and wine64 does not run it.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include "MUI2.nsh"

!define APP "vantrelo-relay"
!define TITLE "串口控制单路继电器板"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

Name "${TITLE}"
Caption "${TITLE} ${VERSION} 安装"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "Software\${APP}" "InstallDir"
BrandingText "Vantrelo"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=2052 "ProductName" "${TITLE}"
VIAddVersionKey /LANG=2052 "FileDescription" "${TITLE} 安装程序"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "CompanyName" "Vantrelo"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Vantrelo"

!define MUI_ICON "vantrelo-relay.ico"
!define MUI_UNICON "vantrelo-relay.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\${APP}.exe"
!define MUI_FINISHPAGE_RUN_TEXT "启动 ${TITLE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Section
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    ; A running copy keeps its files: an old program beside new Qt DLLs must not pass for an
    ; installed one, also in silent mode.
    ClearErrors
    File /r "${STAGE}\*"
    IfErrors 0 +4
        MessageBox MB_ICONSTOP "无法写入 $INSTDIR 中的文件。请关闭正在运行的${TITLE}，再重新安装。" /SD IDOK
        SetErrorLevel 2
        Abort
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${TITLE}.lnk" "$INSTDIR\${APP}.exe"
    WriteRegStr HKCU "Software\${APP}" "InstallDir" "$INSTDIR"
    ; Listed in Apps & features (Programs and Features) for this user.
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Vantrelo"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${APP}.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    Delete "$SMPROGRAMS\${TITLE}.lnk"
    ; Only what the installer put there: the folder may have been chosen by hand, and other
    ; files in it are not ours to remove.
    !include "${FILE_LIST}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    DeleteRegKey HKCU "Software\${APP}"
SectionEnd
