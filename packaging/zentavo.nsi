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
; Command line of the installer: /S silent (no dialog at all, and no log window of setup.exe);
; /NOTRAY installs without the tray companion (the same as unticking it on the components page);
; /LOG=FILE (an absolute path) its own log there instead of in setup.log; /D=FOLDER (last,
; unquoted) another folder than Program Files, refused while the product is installed elsewhere.
; The uninstaller takes /S and /LOG= as well.
;
; Exit codes of the installer and of the uninstaller, those of Windows Installer:
;   0     done
;   3010  done, but a reboot must finish it (setup.exe left files for the reboot)
;   1602  cancelled by the user
;   1603  failed: setup.exe reported errors or did not run properly (its own code is in
;         setup.log and in the details), a file of the product could not be written, an
;         install folder that exists can be changed by others than administrators, or /D=
;         names another folder than the one the product is installed in. Nothing of this run
;         stays: a first install removes what it laid out, an upgrade puts the installed
;         version's files back, and the Add/Remove entry is written only after a success.
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
!define RUN_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
!define TRAY_RUN_VALUE "ZentavoTray"
; setup.exe's third element that asks for no log window: a silent run has no one to close it.
!define NO_WINDOW_WORD "nowindow"
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
!define MOVEFILE_REPLACE_EXISTING 1
; A copy of an installed file while an upgrade runs, beside it: put back when the upgrade fails.
!define PREVIOUS_SUFFIX ".previous"

Var ExitCode
; The /LOG= file, or empty for setup.log.
Var LogPath
; Lines not written yet: setup.log is written only once this run holds the run mutex and the
; product's folder exists.
Var LogPending
Var LogReady
; The installed version (the Add/Remove entry's), or empty on a first install.
Var Installed
; Set once this run has written a file of the product, and once it has kept the installed ones.
Var LaidOut
Var KeptPrevious
; The companion's Run value before setup.exe removetray took it away.
Var TrayRunValue

; The end of a failed run: its exit code, and for the installer the undoing of what it laid out.
!macro FAIL
    !insertmacro EXIT_WITH ${EXIT_FAILED}
    !ifndef __UNINSTALL__
        Call UndoLayout
    !endif
    Abort
!macroend

!include "${__FILEDIR__}/installer_log.nsh"
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

; Runs setup.exe with the command word $0, the installer's window as the owner of the tool's log
; window (silent: no log window at all), and turns its exit code into the outcome: $1 is the code
; of a clean run. Returns to the caller when it may go on; ends the installer otherwise.
!macro RUN_SETUP UN
Function ${UN}RunSetup
    retry:
    ${If} ${Silent}
        StrCpy $2 "${NO_WINDOW_WORD}"
    ${Else}
        StrCpy $2 $HWNDPARENT
    ${EndIf}
    DetailPrint "setup.exe $0"
    !insertmacro LOG `running "$INSTDIR\Setup\setup.exe" $0 $2`
    ; The tool's run of setup.log is this one's only when written after this moment.
    System::Call 'kernel32::GetSystemTimeAsFileTime(*l .R1)'
    ClearErrors
    ExecWait '"$INSTDIR\Setup\setup.exe" $0 $2' $SetupCode
    ${If} ${Errors}
        !insertmacro LOG "setup.exe could not be started"
        MessageBox MB_OK|MB_ICONSTOP "The printer setup program could not be started." /SD IDOK
        !insertmacro FAIL
    ${EndIf}
    DetailPrint "setup.exe $0 ended with code $SetupCode"
    !insertmacro LOG "setup.exe $0 ended with code $SetupCode"
    ${If} $SetupCode = $1
        Return
    ${ElseIf} $SetupCode = 101
        DetailPrint "Some files are removed at the next reboot."
        !insertmacro LOG "some files are removed at the next reboot"
        SetRebootFlag true
        Return
    ${ElseIf} $SetupCode = 100
        ; The tool has kept its log in setup.log (and shown it, where someone could see it and
        ; it was asked to); a second try often succeeds once whatever held the files has let go.
        !insertmacro CALL_ACTION "LastRunErrors" \
            '(w "$INSTDIR\Setup\setup.log", l R1, w .R2, i ${NSIS_MAX_STRLEN}) i .R3'
        ${If} $R3 = 0
        ${OrIf} $R3 == "error"
            StrCpy $R2 "(its error reports are not in setup.log)"
        ${EndIf}
        !insertmacro LOG "setup.exe reported errors:$\r$\n$R2"
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
            "The printer setup reported errors:$\r$\n$\r$\n$R2$\r$\n$\r$\nIts whole log is in $INSTDIR\Setup\setup.log. Try again?" \
            /SD IDCANCEL IDRETRY retry
        !insertmacro FAIL
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "The printer setup ended with the unexpected code $SetupCode." /SD IDOK
    !insertmacro FAIL
FunctionEnd
!macroend
!insertmacro RUN_SETUP ""
!insertmacro RUN_SETUP "un."

; A reboot still to come is told to silent callers; the finish page offers it to a person.
!macro REPORT_REBOOT
    ${If} ${RebootFlag}
        !insertmacro EXIT_WITH ${EXIT_REBOOT}
    ${EndIf}
    !insertmacro LOG "ends with exit code $ExitCode"
!macroend

; One install or uninstall at a time: a second one would run setup.exe beside the first. The
; mutex is the process's until it ends.
!macro TAKE_RUN_MUTEX
    System::Call 'kernel32::CreateMutexW(p 0, i 1, w "${RUN_MUTEX}") p .r0 ?e'
    Pop $1
    ${If} $0 = 0
    ${OrIf} $1 = ${ERROR_ALREADY_EXISTS}
        !insertmacro LOG "refused: another install or removal of the product is running"
        MessageBox MB_OK|MB_ICONSTOP \
            "Another installation of the ${PRODUCT} printer is running. Try again when it has finished." \
            /SD IDOK
        !insertmacro QUIT_WITH ${EXIT_ANOTHER_RUNNING}
    ${EndIf}
    ; Only now may setup.log be written: the other run's setup.exe may be writing it.
    StrCpy $LogReady 1
!macroend

; Lays out one file of the product into $OUTDIR. A file that cannot be written (held open by a
; running program) would be skipped silently in a silent run; an upgrade must not go on with the
; old file.
!macro LAY_OUT SOURCE NAME
    StrCpy $LaidOut 1
    ClearErrors
    File "${SOURCE}"
    ${If} ${Errors}
        !insertmacro LOG "refused: $OUTDIR\${NAME} could not be written"
        MessageBox MB_OK|MB_ICONSTOP "The file $OUTDIR\${NAME} could not be written." /SD IDOK
        !insertmacro FAIL
    ${EndIf}
!macroend

; Every file this installer lays out, by its path under the product's folder.
!macro FOR_EACH_PRODUCT_FILE MACRO
    !insertmacro ${MACRO} "Setup\setup.exe"
    !insertmacro ${MACRO} "Setup\tvlmon64.dll"
    !insertmacro ${MACRO} "Setup\tvldrv64.dll"
    !insertmacro ${MACRO} "Setup\tvlui64.dll"
    !insertmacro ${MACRO} "Setup\tvlhelp.chm"
    !insertmacro ${MACRO} "Uninstall.exe"
    !insertmacro ${MACRO} "zentray.exe"
!macroend

; Keeps a copy of an installed file beside it; the upgrade does not start without every copy.
!macro KEEP_PREVIOUS FILE
    Delete "$INSTDIR\${FILE}${PREVIOUS_SUFFIX}"
    ${If} ${FileExists} "$INSTDIR\${FILE}"
        System::Call 'kernel32::CopyFileW(w "$INSTDIR\${FILE}", w "$INSTDIR\${FILE}${PREVIOUS_SUFFIX}", i 1) i .r0'
        ${If} $0 = 0
            !insertmacro LOG "refused: no copy of $INSTDIR\${FILE} could be kept for a failed upgrade"
            MessageBox MB_OK|MB_ICONSTOP "The file $INSTDIR\${FILE} could not be copied." /SD IDOK
            !insertmacro FAIL
        ${EndIf}
    ${EndIf}
!macroend

; Puts the installed version's file back (a failed upgrade), or removes the file this run laid
; out where there was none (a failed first install).
!macro PUT_BACK FILE
    ${If} ${FileExists} "$INSTDIR\${FILE}${PREVIOUS_SUFFIX}"
        System::Call 'kernel32::MoveFileExW(w "$INSTDIR\${FILE}${PREVIOUS_SUFFIX}", w "$INSTDIR\${FILE}", i ${MOVEFILE_REPLACE_EXISTING}) i .r0'
        ${If} $0 = 0
            !insertmacro LOG "the installed $INSTDIR\${FILE} could not be put back; the file stays as this run left it"
            Delete "$INSTDIR\${FILE}${PREVIOUS_SUFFIX}"
        ${EndIf}
    ${Else}
        Delete "$INSTDIR\${FILE}"
    ${EndIf}
!macroend

!macro DROP_PREVIOUS FILE
    Delete "$INSTDIR\${FILE}${PREVIOUS_SUFFIX}"
!macroend

; The failed install may have started this run's companion, which holds its file, and which may
; still be starting (no one to ask yet) or ending (its file still held) when it is asked to quit:
; it is stopped and its file put back, or removed, in up to 5 rounds of about 2 s.
Function UndoCompanion
    StrCpy $1 0
    ${DoWhile} $1 < 5
        ${IfNot} ${FileExists} "$INSTDIR\zentray.exe"
        ${OrIfNot} ${FileExists} "$INSTDIR\Setup\setup.exe"
            Return
        ${EndIf}
        !insertmacro LOG `running "$INSTDIR\Setup\setup.exe" removetray`
        ExecWait '"$INSTDIR\Setup\setup.exe" removetray' $0
        !insertmacro LOG "setup.exe removetray ended with code $0"
        ${If} ${FileExists} "$INSTDIR\zentray.exe${PREVIOUS_SUFFIX}"
            System::Call 'kernel32::MoveFileExW(w "$INSTDIR\zentray.exe${PREVIOUS_SUFFIX}", w "$INSTDIR\zentray.exe", i ${MOVEFILE_REPLACE_EXISTING}) i .r0'
            ${If} $0 <> 0
                Return
            ${EndIf}
        ${Else}
            ClearErrors
            Delete "$INSTDIR\zentray.exe"
            ${IfNot} ${Errors}
                Return
            ${EndIf}
        ${EndIf}
        Sleep 500
        IntOp $1 $1 + 1
    ${Loop}
FunctionEnd

; A failed run leaves what was installed before it: the installed version's files put back, or
; on a first install the files it laid out removed (setup.log stays, for support), and the
; Add/Remove entry as it was. The companion's Run value comes back; the companion itself starts
; again at the next logon.
Function UndoLayout
    ${If} $LaidOut = 1
        Call UndoCompanion
        !insertmacro LOG "undoing this run: the installed files are put back, or removed when none were"
        !insertmacro FOR_EACH_PRODUCT_FILE PUT_BACK
        RMDir "$INSTDIR\Setup"
        RMDir "$INSTDIR"
        StrCpy $LaidOut 0
    ${ElseIf} $KeptPrevious = 1
        !insertmacro FOR_EACH_PRODUCT_FILE DROP_PREVIOUS
    ${EndIf}
    ${If} $TrayRunValue != ""
        ReadRegStr $0 HKLM "${RUN_KEY}" "${TRAY_RUN_VALUE}"
        ${If} $0 == ""
        ${AndIf} ${FileExists} "$TrayRunValue"
            WriteRegStr HKLM "${RUN_KEY}" "${TRAY_RUN_VALUE}" "$TrayRunValue"
        ${EndIf}
    ${EndIf}
FunctionEnd

; One installed copy of the product: a /D= folder other than the one it is installed in would
; leave the installed copy, whose uninstaller would remove the printing components of the new
; one. Refused before anything is written.
Function CheckInstallFolder
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    StrCpy $1 $0 1 -1
    ${If} $1 == "\"
        StrCpy $0 $0 -1
    ${EndIf}
    ; StrCmp compares without regard to case, as Windows compares paths.
    ${If} $0 != ""
    ${AndIf} $0 != $INSTDIR
    ${AndIf} ${FileExists} "$0\Setup\setup.exe"
        !insertmacro LOG "refused: the product is installed in $0, not in $INSTDIR"
        MessageBox MB_OK|MB_ICONSTOP \
            "The ${PRODUCT} printer is installed in $0. Remove it first to install it in $INSTDIR." \
            /SD IDOK
        !insertmacro FAIL
    ${EndIf}
    ${If} $0 == $INSTDIR
    ${AndIf} $Installed != ""
        !insertmacro LOG "upgrading version $Installed in $INSTDIR to ${PRODUCT_VERSION}"
    ${Else}
        StrCpy $Installed ""
        !insertmacro LOG "installing version ${PRODUCT_VERSION} in $INSTDIR"
    ${EndIf}
FunctionEnd

Section "Zentavo printer" SEC_PRINTER
    SectionIn RO
    Call CheckInstallFolder
    ; The setup tool and the components it installs travel together.
    !insertmacro SECURE_FOLDER "$INSTDIR"
    !insertmacro SECURE_FOLDER "$INSTDIR\Setup"
    ; Read before setup.exe removes it (removetray here, in_notray or a failing install later).
    ReadRegStr $TrayRunValue HKLM "${RUN_KEY}" "${TRAY_RUN_VALUE}"
    ${If} $Installed != ""
        StrCpy $KeptPrevious 1
        !insertmacro FOR_EACH_PRODUCT_FILE KEEP_PREVIOUS
    ${EndIf}
    SetOutPath "$INSTDIR\Setup"
    !insertmacro LAY_OUT "${SETUP_EXE}" setup.exe
    !insertmacro LAY_OUT "${COMPONENTS_DIR}\tvlmon64.dll" tvlmon64.dll
    !insertmacro LAY_OUT "${COMPONENTS_DIR}\tvldrv64.dll" tvldrv64.dll
    !insertmacro LAY_OUT "${COMPONENTS_DIR}\tvlui64.dll" tvlui64.dll
    !insertmacro LAY_OUT "${COMPONENTS_DIR}\tvlhelp.chm" tvlhelp.chm
    ClearErrors
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ${If} ${Errors}
        !insertmacro LOG "refused: $INSTDIR\Uninstall.exe could not be written"
        MessageBox MB_OK|MB_ICONSTOP "The file $INSTDIR\Uninstall.exe could not be written." /SD IDOK
        !insertmacro FAIL
    ${EndIf}
SectionEnd

Section "Tray companion" SEC_TRAY
    ; A running companion holds its program file open, so the new one could not be written:
    ; setup.exe stops it first (setup.exe install would, but only after the copy). The tool
    ; reaches it in the console's session even as LocalSystem, which no window search from
    ; this process could.
    ${If} $TrayRunValue != ""
    ${OrIf} ${FileExists} "$INSTDIR\zentray.exe"
        DetailPrint "Stopping the tray companion"
        !insertmacro LOG `running "$INSTDIR\Setup\setup.exe" removetray`
        ExecWait '"$INSTDIR\Setup\setup.exe" removetray' $0
        !insertmacro LOG "setup.exe removetray ended with code $0"
    ${EndIf}
    SetOutPath "$INSTDIR"
    !insertmacro LAY_OUT "${TRAY_EXE}" zentray.exe
SectionEnd

Section "-Printing components"
    ${If} ${SectionIsSelected} ${SEC_TRAY}
        StrCpy $0 "install"
    ${Else}
        StrCpy $0 "in_notray"
    ${EndIf}
    StrCpy $1 1
    Call RunSetup
    ; Detection reads this entry: it says the product is installed only once it is.
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
    ${If} $KeptPrevious = 1
        !insertmacro FOR_EACH_PRODUCT_FILE DROP_PREVIOUS
    ${EndIf}
    ; In KB, of what this run laid out.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    !insertmacro LOG "version ${PRODUCT_VERSION} is installed in $INSTDIR"
SectionEnd

Function .onInit
    SetRegView 64
    !insertmacro START_LOG
    !insertmacro TAKE_RUN_MUTEX
    ; The package and this installer would share the folder and the printing components, each
    ; with an Add/Remove entry of its own: one removal would break the other.
    System::Call 'msi::MsiEnumRelatedProductsW(w "${PACKAGE_UPGRADE_CODE}", i 0, i 0, w .r1) i .r0'
    ${If} $0 = 0
        !insertmacro LOG "refused: the product's Windows Installer package ($1) is installed"
        MessageBox MB_OK|MB_ICONSTOP \
            "The ${PRODUCT} printer is installed from its Windows Installer package. Remove it first (Apps and Features, or msiexec /x)." \
            /SD IDOK
        !insertmacro QUIT_WITH ${EXIT_REFUSED}
    ${EndIf}
    ReadRegStr $Installed HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $Installed != ""
        ${VersionCompare} "$Installed" "${PRODUCT_VERSION}" $1
        ${If} $1 = 1
            !insertmacro LOG "refused: the newer version $Installed is installed"
            MessageBox MB_OK|MB_ICONSTOP \
                "A newer version ($Installed) of the ${PRODUCT} printer is installed. Remove it first to install version ${PRODUCT_VERSION}." \
                /SD IDOK
            !insertmacro QUIT_WITH ${EXIT_REFUSED}
        ${EndIf}
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/NOTRAY" $1
    ${IfNot} ${Errors}
        !insertmacro LOG "without the tray companion (/NOTRAY)"
        !insertmacro UnselectSection ${SEC_TRAY}
    ${EndIf}
FunctionEnd

Function OnCancel
    !insertmacro EXIT_WITH ${EXIT_CANCELLED}
    !insertmacro LOG "cancelled by the user; ends with exit code $ExitCode"
FunctionEnd

Function .onInstSuccess
    !insertmacro REPORT_REBOOT
FunctionEnd

Function .onInstFailed
    !insertmacro LOG "ends with exit code $ExitCode"
FunctionEnd

Section "Uninstall"
    StrCpy $0 "uninstall"
    StrCpy $1 2
    Call un.RunSetup
    ; The file goes with the product: what this run still logs goes to /LOG= only.
    !insertmacro LOG "removing the product's files from $INSTDIR"
    StrCpy $LogReady 0
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
    !insertmacro START_LOG
    !insertmacro TAKE_RUN_MUTEX
FunctionEnd

Function un.OnCancel
    !insertmacro EXIT_WITH ${EXIT_CANCELLED}
    !insertmacro LOG "cancelled by the user; ends with exit code $ExitCode"
FunctionEnd

Function un.onUninstSuccess
    !insertmacro REPORT_REBOOT
FunctionEnd

Function un.onUninstFailed
    !insertmacro LOG "ends with exit code $ExitCode"
FunctionEnd
