; The installer's and the uninstaller's own log: every decision and refusal, the command lines of
; setup.exe with their exit codes, and their own exit code. Into the file that /LOG= names when
; given, otherwise into setup.log once this run holds the run mutex and the product's folder
; exists (lines until then wait). setupaction.dll writes both (AppendInstallerLog) by setup.log's
; file rules: never through a link, never a file others can change, setup.log only in folders
; that only administrators can change.
;
; Needs ACTION_DLL (the built setupaction.dll) and the variables ExitCode, LogPath, LogPending and
; LogReady.

!insertmacro REQUIRE_DEFINE ACTION_DLL

; Calls FUNCTION of setupaction.dll with the System plug-in's ARGUMENTS (what follows the
; address); the output registers stay as they were when it cannot be loaded. By its full path,
; loaded and freed here: a path with a space cannot be named in the call.
!macro CALL_ACTION FUNCTION ARGUMENTS
    Push $R7
    Push $R8
    !ifdef __UNINSTALL__
        Call un.ExtractActionDll
    !else
        Call ExtractActionDll
    !endif
    System::Call 'kernel32::LoadLibraryW(w "$PLUGINSDIR\setupaction.dll") p .R7'
    ${If} $R7 != 0
        System::Call 'kernel32::GetProcAddress(p R7, m "${FUNCTION}") p .R8'
        ${If} $R8 != 0
            System::Call '::$R8${ARGUMENTS}'
        ${EndIf}
        System::Call 'kernel32::FreeLibrary(p R7)'
    ${EndIf}
    Pop $R8
    Pop $R7
!macroend

; One line (or several, CR LF between them) into the log.
!macro LOG TEXT
    Push `${TEXT}`
    !ifdef __UNINSTALL__
        Call un.WriteLog
    !else
        Call WriteLog
    !endif
!macroend

; The exit code of this run, kept for its last log line.
!macro EXIT_WITH CODE
    SetErrorLevel ${CODE}
    StrCpy $ExitCode ${CODE}
!macroend

!macro QUIT_WITH CODE
    !insertmacro EXIT_WITH ${CODE}
    !insertmacro LOG "ends with exit code $ExitCode"
    Quit
!macroend

; Reads /LOG= and logs the start of the run.
!macro START_LOG
    StrCpy $ExitCode 0
    StrCpy $LogReady 0
    StrCpy $LogPending ""
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/LOG=" $LogPath
    ${If} ${Errors}
        StrCpy $LogPath ""
    ${EndIf}
    !insertmacro LOG "version ${PRODUCT_VERSION} started: $CMDLINE"
!macroend

!macro LOG_FUNCTIONS UN WHO
Function ${UN}ExtractActionDll
    InitPluginsDir
    File "/oname=$PLUGINSDIR\setupaction.dll" "${ACTION_DLL}"
FunctionEnd

Function ${UN}WriteLog
    Exch $0
    Push $1
    Push $2
    Push $3
    StrCpy $0 "${WHO}: $0"
    ${If} $LogPending != ""
        StrCpy $0 "$LogPending$\r$\n$0"
        StrCpy $LogPending ""
    ${EndIf}
    ${If} $LogPath != ""
        StrCpy $1 $LogPath
        StrCpy $2 0
    ${ElseIf} $LogReady = 1
        StrCpy $1 "$INSTDIR\Setup\setup.log"
        StrCpy $2 1
    ${Else}
        StrCpy $LogPending $0
        Goto done
    ${EndIf}
    ; 3: the folder is not there (yet).
    StrCpy $3 2
    !insertmacro CALL_ACTION "AppendInstallerLog" '(w r1, w r0, i r2) i .r3'
    ${If} $3 = 3
    ${AndIf} $2 = 1
        StrCpy $LogPending $0
    ${EndIf}
    done:
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro LOG_FUNCTIONS "" "installer"
!insertmacro LOG_FUNCTIONS "un." "uninstaller"
