; The installer's folders: made so that only administrators can change them, or the install
; stops when an existing one can be changed by others. setupaction.dll (SecureFolder) makes and
; checks them, as it does for the Windows Installer package.
;
; Needs ACTION_DLL (the built setupaction.dll) and EXIT_FAILED.

!insertmacro REQUIRE_DEFINE ACTION_DLL

; Makes or checks FOLDER; stops the install when it is refused or cannot be made.
!macro SECURE_FOLDER FOLDER
    Push "${FOLDER}"
    Call SecureFolder
!macroend

Function SecureFolder
    Exch $0
    Push $1
    Push $2
    Push $3
    InitPluginsDir
    File "/oname=$PLUGINSDIR\setupaction.dll" "${ACTION_DLL}"
    ; By its full path, loaded and freed here: a path with a space cannot be named in the call.
    StrCpy $1 ""
    System::Call 'kernel32::LoadLibraryW(w "$PLUGINSDIR\setupaction.dll") p .r3'
    ${If} $3 != 0
        System::Call 'kernel32::GetProcAddress(p r3, m "SecureFolder") p .r2'
        ${If} $2 != 0
            System::Call '::$2(w r0, w .r2, i ${NSIS_MAX_STRLEN}) i .r1'
        ${EndIf}
        System::Call 'kernel32::FreeLibrary(p r3)'
    ${EndIf}
    ${If} $1 == 0
        DetailPrint "Folder $0: only administrators can change it"
    ${ElseIf} $1 == 1
        DetailPrint "Folder $0 can be changed by $2"
        MessageBox MB_OK|MB_ICONSTOP \
            "The folder $0 can be changed by $2, not only by administrators.$\r$\nChoose a folder that only administrators can change." \
            /SD IDOK
        SetErrorLevel ${EXIT_FAILED}
        Abort
    ${Else}
        MessageBox MB_OK|MB_ICONSTOP "The folder $0 could not be made (error $2)." /SD IDOK
        SetErrorLevel ${EXIT_FAILED}
        Abort
    ${EndIf}
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd
