; The installer's folders: made so that only administrators can change them, or the install
; stops when an existing one can be changed by others. setupaction.dll (SecureFolder) makes and
; checks them, as it does for the Windows Installer package.
;
; Needs installer_log.nsh and the FAIL macro.

; Makes or checks FOLDER; stops the install when it is refused or cannot be made.
!macro SECURE_FOLDER FOLDER
    Push "${FOLDER}"
    Call SecureFolder
!macroend

Function SecureFolder
    Exch $0
    Push $1
    Push $2
    StrCpy $1 ""
    StrCpy $2 "setupaction.dll did not answer"
    !insertmacro CALL_ACTION "SecureFolder" '(w r0, w .r2, i ${NSIS_MAX_STRLEN}) i .r1'
    ${If} $1 == 0
        DetailPrint "Folder $0: only administrators can change it"
    ${ElseIf} $1 == 1
        DetailPrint "Folder $0 can be changed by $2"
        !insertmacro LOG "refused: the folder $0 can be changed by $2, not only by administrators"
        MessageBox MB_OK|MB_ICONSTOP \
            "The folder $0 can be changed by $2, not only by administrators.$\r$\nChoose a folder that only administrators can change." \
            /SD IDOK
        !insertmacro FAIL
    ${Else}
        !insertmacro LOG "refused: the folder $0 could not be made (error $2)"
        MessageBox MB_OK|MB_ICONSTOP "The folder $0 could not be made (error $2)." /SD IDOK
        !insertmacro FAIL
    ${EndIf}
    Pop $2
    Pop $1
    Pop $0
FunctionEnd
