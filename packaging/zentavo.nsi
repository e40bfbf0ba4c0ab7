; Installer and uninstaller of the Zentavo virtual printer: they lay out the files and leave the
; printing components themselves to setup.exe, whose exit code decides what happens next.
;
; makensis -DSETUP_EXE=... -DCOMPONENTS_DIR=... -DTRAY_EXE=... -DACTION_DLL=... -DICON_FILE=...
;          -DPRODUCT_VERSION=... -DOUTFILE=... [-DSIGN_COMMAND=...] zentavo.nsi
;   SETUP_EXE        the setup tool
;   COMPONENTS_DIR   the folder with tvlmon64.dll, tvldrv64.dll, tvlui64.dll and tvlhelp.chm
;   TRAY_EXE         the tray companion zentray.exe
;   ACTION_DLL       setupaction.dll, which makes and checks the folders (folder_check.nsh)
;   ICON_FILE        the product's icon
;   PRODUCT_VERSION  1.0.BUILD, the version of setup.exe and of the Windows Installer package
;   OUTFILE          the installer to write
;   SIGN_COMMAND     signs the file named by its last argument; the installer and the
;                    uninstaller inside it are signed when it is given
;
; Command line of the installer: /S silent (no dialog at all); /NOTRAY installs without the tray
; companion (the same as unticking it on the components page); /D=FOLDER (last, unquoted) another
; folder than the installed one or Program Files.
;
; Exit codes of the installer and of the uninstaller, those of Windows Installer:
;   0     done
;   3010  done, but a reboot must finish it (setup.exe left files for the reboot)
;   1602  cancelled by the user
;   1603  failed: setup.exe reported errors or did not run properly (its own code is in
;         setup.log and in the details), a file of the product could not be written, or an
;         install folder that exists can be changed by others than administrators
;   1618  another install or uninstall of the product is running
;   1638  refused: a newer version, or the product's Windows Installer package, is installed

!macro REQUIRE_DEFINE NAME
!ifndef ${NAME}
!error "${NAME} must be defined on makensis's command line (-D${NAME}=...)"
!endif
!macroend
!insertmacro REQUIRE_DEFINE SETUP_EXE
!insertmacro REQUIRE_DEFINE COMPONENTS_DIR
!insertmacro REQUIRE_DEFINE TRAY_EXE
!insertmacro REQUIRE_DEFINE ICON_FILE
!insertmacro REQUIRE_DEFINE PRODUCT_VERSION
!insertmacro REQUIRE_DEFINE OUTFILE

; The product and setup.exe are 64-bit: a 64-bit installer sees the 64-bit Program Files,
; system folder and registry without redirection.
Target amd64-unicode
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include Sections.nsh
!include MUI2.nsh

!define PRODUCT "Zentavo"
!define COMPANY "Tovalin Software KFT"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentavo"
!define TRAY_WINDOW_CLASS "zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}"
!define ABOUT_URL "https://www.tovalin.hu/"
; The Windows Installer package's upgrade code: every version of it carries this one.
!define PACKAGE_UPGRADE_CODE "{B2AAEE49-737D-49E9-AE19-B30D72F8C9A9}"
; Held by every install and uninstall of the product while it runs, in all sessions.
!define RUN_MUTEX "Global\Zentavo.Setup.{6C1B5E0A-3F0E-4C8B-9D52-2E4F8A7B1C93}"

!define EXIT_REBOOT 3010
!define EXIT_CANCELLED 1602
!define EXIT_FAILED 1603
!define EXIT_ANOTHER_RUNNING 1618
!define EXIT_REFUSED 1638
!define ERROR_ALREADY_EXISTS 183
!define MOVEFILE_DELAY_UNTIL_REBOOT 4

!include "${__FILEDIR__}/folder_check.nsh"

Name "${PRODUCT} printer"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zentavo"
; A later run, silent ones with no /D= included, goes to the folder the product is installed in.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${PRODUCT_VERSION}.0"
VIFileVersion "${PRODUCT_VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT} printer"
VIAddVersionKey /LANG=1033 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) ${COMPANY}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} printer installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${PRODUCT_VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductVersion" "${PRODUCT_VERSION}"

!ifdef SIGN_COMMAND
!finalize '${SIGN_COMMAND} "%1"' = 0
!uninstfinalize '${SIGN_COMMAND} "%1"' = 0
!endif

!define MUI_ICON "${ICON_FILE}"
!define MUI_UNICON "${ICON_FILE}"
!define MUI_ABORTWARNING
!define MUI_CUSTOMFUNCTION_ABORT OnCancel
!define MUI_CUSTOMFUNCTION_UNABORT un.OnCancel
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Var SetupCode

; Runs setup.exe with the command word $0 and the installer's window as the owner of the tool's
; log window, and turns its exit code into the outcome: $1 is the code of a clean run. Returns
; to the caller when it may go on; ends the installer otherwise.
!macro RUN_SETUP UN
Function ${UN}RunSetup
    retry:
    DetailPrint "setup.exe $0"
    ClearErrors
    ExecWait '"$INSTDIR\Setup\setup.exe" $0 $HWNDPARENT' $SetupCode
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "The printer setup program could not be started." /SD IDOK
        SetErrorLevel ${EXIT_FAILED}
        Abort
    ${EndIf}
    DetailPrint "setup.exe $0 ended with code $SetupCode"
    ${If} $SetupCode = $1
        Return
    ${ElseIf} $SetupCode = 101
        DetailPrint "Some files are removed at the next reboot."
        SetRebootFlag true
        Return
    ${ElseIf} $SetupCode = 100
        ; The tool has already shown its own log with the errors (where anyone could see it)
        ; and kept it in setup.log; a second try often succeeds once whatever held the files
        ; has let go.
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
            "The printer setup reported errors; they are listed in $INSTDIR\Setup\setup.log.$\r$\n$\r$\nTry again?" \
            /SD IDCANCEL IDRETRY retry
        SetErrorLevel ${EXIT_FAILED}
        Abort
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "The printer setup ended with the unexpected code $SetupCode." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort
FunctionEnd
!macroend
!insertmacro RUN_SETUP ""
!insertmacro RUN_SETUP "un."

; A reboot still to come is told to silent callers; the finish page offers it to a person.
!macro REPORT_REBOOT
    ${If} ${RebootFlag}
        SetErrorLevel ${EXIT_REBOOT}
    ${EndIf}
!macroend

; One install or uninstall at a time: a second one would run setup.exe beside the first. The
; mutex is the process's until it ends.
!macro TAKE_RUN_MUTEX
    System::Call 'kernel32::CreateMutexW(p 0, i 1, w "${RUN_MUTEX}") p .r0 ?e'
    Pop $1
    ${If} $0 = 0
    ${OrIf} $1 = ${ERROR_ALREADY_EXISTS}
        MessageBox MB_OK|MB_ICONSTOP \
            "Another installation of the ${PRODUCT} printer is running. Try again when it has finished." \
            /SD IDOK
        SetErrorLevel ${EXIT_ANOTHER_RUNNING}
        Quit
    ${EndIf}
!macroend

; A file that cannot be written (held open by a running program) is skipped silently in a
; silent run; an upgrade must not go on with the old file.
!macro CHECK_WRITTEN
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "A file of the product could not be written." /SD IDOK
        SetErrorLevel ${EXIT_FAILED}
        Abort
    ${EndIf}
!macroend

Section "Zentavo printer" SEC_PRINTER
    SectionIn RO
    ; The setup tool and the components it installs travel together.
    !insertmacro SECURE_FOLDER "$INSTDIR"
    !insertmacro SECURE_FOLDER "$INSTDIR\Setup"
    ClearErrors
    SetOutPath "$INSTDIR\Setup"
    File "${SETUP_EXE}"
    File "${COMPONENTS_DIR}\tvlmon64.dll"
    File "${COMPONENTS_DIR}\tvldrv64.dll"
    File "${COMPONENTS_DIR}\tvlui64.dll"
    File "${COMPONENTS_DIR}\tvlhelp.chm"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    !insertmacro CHECK_WRITTEN
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} printer"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${PRODUCT_VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "${ABOUT_URL}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    ; Run in place ("_?=", unquoted and last), the uninstaller returns only when it is done, with
    ; its outcome (NSIS's own copy to the temporary folder would return at once).
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Tray companion" SEC_TRAY
    ; A running companion holds its program file open, so the new one could not be written:
    ; setup.exe stops it first (setup.exe install would, but only after the copy).
    FindWindow $0 "${TRAY_WINDOW_CLASS}"
    ${If} $0 <> 0
        DetailPrint "Stopping the tray companion"
        ExecWait '"$INSTDIR\Setup\setup.exe" removetray'
    ${EndIf}
    ClearErrors
    SetOutPath "$INSTDIR"
    File "${TRAY_EXE}"
    !insertmacro CHECK_WRITTEN
SectionEnd

Section "-Printing components"
    ${If} ${SectionIsSelected} ${SEC_TRAY}
        StrCpy $0 "install"
    ${Else}
        StrCpy $0 "in_notray"
    ${EndIf}
    StrCpy $1 1
    Call RunSetup
    ; In KB, of what this run laid out.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
    SetRegView 64
    !insertmacro TAKE_RUN_MUTEX
    ; The package and this installer would share the folder and the printing components, each
    ; with an Add/Remove entry of its own: one removal would break the other.
    System::Call 'msi::MsiEnumRelatedProductsW(w "${PACKAGE_UPGRADE_CODE}", i 0, i 0, w .r1) i .r0'
    ${If} $0 = 0
        MessageBox MB_OK|MB_ICONSTOP \
            "The ${PRODUCT} printer is installed from its Windows Installer package. Remove it first (Apps and Features, or msiexec /x)." \
            /SD IDOK
        SetErrorLevel ${EXIT_REFUSED}
        Quit
    ${EndIf}
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $0 != ""
        ${VersionCompare} "$0" "${PRODUCT_VERSION}" $1
        ${If} $1 = 1
            MessageBox MB_OK|MB_ICONSTOP \
                "A newer version ($0) of the ${PRODUCT} printer is installed. Remove it first to install version ${PRODUCT_VERSION}." \
                /SD IDOK
            SetErrorLevel ${EXIT_REFUSED}
            Quit
        ${EndIf}
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/NOTRAY" $1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SEC_TRAY}
    ${EndIf}
FunctionEnd

Function OnCancel
    SetErrorLevel ${EXIT_CANCELLED}
FunctionEnd

Function .onInstSuccess
    !insertmacro REPORT_REBOOT
FunctionEnd

Section "Uninstall"
    StrCpy $0 "uninstall"
    StrCpy $1 2
    Call un.RunSetup
    ; setup.exe has already stopped the companion and deleted its program file; what is still
    ; held open goes at the next reboot.
    Delete /REBOOTOK "$INSTDIR\zentray.exe"
    Delete /REBOOTOK "$INSTDIR\Setup\setup.exe"
    Delete /REBOOTOK "$INSTDIR\Setup\tvlmon64.dll"
    Delete /REBOOTOK "$INSTDIR\Setup\tvldrv64.dll"
    Delete /REBOOTOK "$INSTDIR\Setup\tvlui64.dll"
    Delete /REBOOTOK "$INSTDIR\Setup\tvlhelp.chm"
    ; The tool's log of every install and of this uninstall.
    Delete /REBOOTOK "$INSTDIR\Setup\setup.log"
    ; Run in place ("_?=", as the quiet removal runs), this program holds its own file open: the
    ; file, inert once the product is gone, goes at the next reboot with the folder. Nothing of
    ; the product waits for that reboot, so none is asked for.
    StrCpy $R9 0
    ClearErrors
    Delete "$INSTDIR\Uninstall.exe"
    ${If} ${Errors}
    ${AndIf} ${FileExists} "$INSTDIR\Uninstall.exe"
        System::Call 'kernel32::MoveFileExW(w "$INSTDIR\Uninstall.exe", p 0, i ${MOVEFILE_DELAY_UNTIL_REBOOT})'
        StrCpy $R9 1
    ${EndIf}
    ; Not the folder being removed.
    SetOutPath "$TEMP"
    ; Folders go at the reboot only when their files do; a folder that still holds what the
    ; user or the companion wrote stays.
    ${If} ${RebootFlag}
        RMDir /REBOOTOK "$INSTDIR\Setup"
        RMDir /REBOOTOK "$INSTDIR"
    ${Else}
        RMDir "$INSTDIR\Setup"
        RMDir "$INSTDIR"
        ${If} $R9 = 1
            System::Call 'kernel32::MoveFileExW(w "$INSTDIR", p 0, i ${MOVEFILE_DELAY_UNTIL_REBOOT})'
        ${EndIf}
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onInit
    SetRegView 64
    !insertmacro TAKE_RUN_MUTEX
FunctionEnd

Function un.OnCancel
    SetErrorLevel ${EXIT_CANCELLED}
FunctionEnd

Function un.onUninstSuccess
    !insertmacro REPORT_REBOOT
FunctionEnd
