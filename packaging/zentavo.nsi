; Installer and uninstaller of the Zentavo virtual printer: they lay out the files and leave the
; printing components themselves to setup.exe, whose exit code decides what happens next.
;
; makensis -DSETUP_EXE=... -DCOMPONENTS_DIR=... -DTRAY_EXE=... -DOUTFILE=... zentavo.nsi
;   SETUP_EXE       the setup tool
;   COMPONENTS_DIR  the folder with tvlmon64.dll, tvldrv64.dll, tvlui64.dll and tvlhelp.chm
;   TRAY_EXE        the tray companion zentray.exe
;   ACTION_DLL      setupaction.dll, which makes and checks the folders (folder_check.nsh)
;   OUTFILE         the installer to write
;
; Command line of the installer: /S silent (no dialog at all); /NOTRAY installs without the tray
; companion (the same as unticking it on the components page).
;
; Exit codes of the installer and of the uninstaller (all below 256, so that every caller sees
; them whole):
;   0    done
;   1    cancelled by the user (NSIS's own)
;   2    stopped before setup.exe ran: a file could not be written, or a folder of the product
;        can be changed by others than administrators (NSIS's own code for a stop)
;   3    setup.exe did not start, or ended with a code it never gives
;   100  setup.exe reported errors, and the user did not retry (a silent run never retries)
;   101  done, but a reboot must finish it (NSIS's reboot flag is set)

!macro REQUIRE_DEFINE NAME
!ifndef ${NAME}
!error "${NAME} must be defined on makensis's command line (-D${NAME}=...)"
!endif
!macroend
!insertmacro REQUIRE_DEFINE SETUP_EXE
!insertmacro REQUIRE_DEFINE COMPONENTS_DIR
!insertmacro REQUIRE_DEFINE TRAY_EXE
!insertmacro REQUIRE_DEFINE OUTFILE

; The product and setup.exe are 64-bit: a 64-bit installer sees the 64-bit Program Files,
; system folder and registry without redirection.
Target amd64-unicode
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PRODUCT "Zentavo"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentavo"
!define TRAY_WINDOW_CLASS "zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}"

!define EXIT_NOT_WRITTEN 2
!define EXIT_BAD_SETUP 3
!define EXIT_SETUP_ERRORS 100
!define EXIT_REBOOT 101

!include "${__FILEDIR__}/folder_check.nsh"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zentavo"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page components
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

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
        SetErrorLevel ${EXIT_BAD_SETUP}
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
        SetErrorLevel ${EXIT_SETUP_ERRORS}
        Abort
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "The printer setup ended with the unexpected code $SetupCode." /SD IDOK
    SetErrorLevel ${EXIT_BAD_SETUP}
    Abort
FunctionEnd
!macroend
!insertmacro RUN_SETUP ""
!insertmacro RUN_SETUP "un."

; A clean run keeps NSIS's own code 0; a reboot still to come is told to silent callers.
!macro REPORT_REBOOT
    ${If} ${RebootFlag}
        SetErrorLevel ${EXIT_REBOOT}
        MessageBox MB_YESNO|MB_ICONQUESTION "A reboot is needed to finish. Reboot now?" \
            /SD IDNO IDNO +2
        Reboot
    ${EndIf}
!macroend

; A file that cannot be written (held open by a running program) is skipped silently in a
; silent run; an upgrade must not go on with the old file.
!macro CHECK_WRITTEN
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "A file of the product could not be written." /SD IDOK
        SetErrorLevel ${EXIT_NOT_WRITTEN}
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
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
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
SectionEnd

Function .onInit
    SetRegView 64
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/NOTRAY" $1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SEC_TRAY}
    ${EndIf}
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
    Delete /REBOOTOK "$INSTDIR\Uninstall.exe"
    ; Folders go at the reboot only when their files do; a folder that still holds what the
    ; user or the companion wrote stays.
    ${If} ${RebootFlag}
        RMDir /REBOOTOK "$INSTDIR\Setup"
        RMDir /REBOOTOK "$INSTDIR"
    ${Else}
        RMDir "$INSTDIR\Setup"
        RMDir "$INSTDIR"
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Function un.onUninstSuccess
    !insertmacro REPORT_REBOOT
FunctionEnd
