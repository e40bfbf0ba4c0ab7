# Optional Authenticode signing with osslsigncode: when CODE_SIGN_PKCS12 (a .p12/.pfx file) and
# CODE_SIGN_PASSWORD_FILE are set, the product's programs, the installer with its uninstaller
# and the Windows Installer package are signed; CODE_SIGN_TIMESTAMP_URL adds a timestamp.
# Without them nothing is signed.
set(CODE_SIGN_PKCS12 "$ENV{CODE_SIGN_PKCS12}" CACHE FILEPATH "Certificate and key to sign with")
set(CODE_SIGN_PASSWORD_FILE "$ENV{CODE_SIGN_PASSWORD_FILE}" CACHE FILEPATH
    "File holding the password of CODE_SIGN_PKCS12")
set(CODE_SIGN_TIMESTAMP_URL "$ENV{CODE_SIGN_TIMESTAMP_URL}" CACHE STRING
    "RFC 3161 timestamp server, or empty")

set(CODE_SIGN_COMMAND)
if(CODE_SIGN_PKCS12 AND CODE_SIGN_PASSWORD_FILE)
    find_program(OSSLSIGNCODE osslsigncode REQUIRED)
    set(timestamp_url -)
    if(CODE_SIGN_TIMESTAMP_URL)
        set(timestamp_url ${CODE_SIGN_TIMESTAMP_URL})
    endif()
    # The file to sign goes last.
    set(CODE_SIGN_COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/sign_file.sh ${CODE_SIGN_PKCS12}
        ${CODE_SIGN_PASSWORD_FILE} ${timestamp_url})
    message(STATUS "Signing with ${CODE_SIGN_PKCS12}")
endif()

# Signs the target's file right after it is linked, before anything packs it.
function(sign_after_build target)
    if(CODE_SIGN_COMMAND)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CODE_SIGN_COMMAND} $<TARGET_FILE:${target}>
            COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
            VERBATIM)
    endif()
endfunction()
