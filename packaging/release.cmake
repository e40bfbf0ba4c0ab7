# The release description of one build, beside its packages, and the winget manifest set of its
# installer program:
#   cmake -DMSIINFO=... -DMSI=zentavo.msi -DINSTALLER=zentavo-installer.exe -DVERSION=1.0.N
#         -DPRODUCT_CODE={...} -DUPGRADE_CODE={...} -DDOWNLOAD_URL=https://... -DOUTPUT=release.json
#         -DWINGET_DIR=winget -P release.cmake
# Everything a deployment system asks for is read from the built files or given by the build;
# the command lines and return codes are those both packages document.

cmake_minimum_required(VERSION 3.25)

set(PUBLISHER "Tovalin Software KFT")
set(PUBLISHER_URL "https://www.tovalin.hu/")
set(PRODUCT_NAME "Zentavo printer")
set(PACKAGE_ID "Tovalin.Zentavo")
# The winget manifest schema the set is written for, the one the community repository accepts.
set(WINGET_SCHEMA 1.12.0)
set(UNINSTALL_KEY "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zentavo")
set(DEFAULT_FOLDER "C:\\Program Files\\Zentavo")

# `text` as a JSON string, quotes included.
function(json_text text out)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# `text` as a single-quoted YAML scalar, in which only the quote itself is doubled.
function(yaml_text text out)
    string(REPLACE "'" "''" text "${text}")
    set(${out} "'${text}'" PARENT_SCOPE)
endfunction()

# The file's name, size and SHA-256 (upper case, as winget writes it).
function(describe_file path prefix)
    get_filename_component(name ${path} NAME)
    file(SIZE ${path} size)
    file(SHA256 ${path} hash)
    string(TOUPPER ${hash} hash)
    set(${prefix}_NAME ${name} PARENT_SCOPE)
    set(${prefix}_SIZE ${size} PARENT_SCOPE)
    set(${prefix}_SHA256 ${hash} PARENT_SCOPE)
endfunction()

describe_file(${MSI} MSI)
describe_file(${INSTALLER} EXE)

# The package code is the summary information's revision number: new with every build.
execute_process(COMMAND ${MSIINFO} suminfo ${MSI} OUTPUT_VARIABLE summary RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT summary MATCHES "Revision number \\(UUID\\): (\\{[0-9A-Fa-f-]+\\})")
    message(FATAL_ERROR "${MSI}: no package code in its summary information")
endif()
set(PACKAGE_CODE ${CMAKE_MATCH_1})

set(MSI_INSTALL "msiexec /i ${MSI_NAME} /qn /norestart /l*v install.log")
set(MSI_UNINSTALL "msiexec /x ${PRODUCT_CODE} /qn /norestart /l*v remove.log")
set(EXE_INSTALL "${EXE_NAME} /S")
set(EXE_UNINSTALL "\"${DEFAULT_FOLDER}\\Uninstall.exe\" /S _?=${DEFAULT_FOLDER}")

# Code, meaning, and winget's response to it (empty: success, which winget knows itself). No
# semicolon in a meaning: it would split the list.
set(RETURN_CODES
    "0|done|"
    "1602|cancelled by the user|cancelledByUser"
    "1603|failed: the tool reported errors (setup.log, the package's verbose log) or did not run, or a file could not be written, or the Windows Installer package refused (an older version than the installed one, or the installer program's product installed)|contactSupport"
    "1618|another install or removal is running: try again later|installInProgress"
    "1638|refused: this or a newer version, or the other package of the product, is installed|alreadyInstalled"
    "1641|done, and the installer started a reboot: never with these command lines (/norestart, /S)|rebootInitiated"
    "3010|done, and a reboot finishes it (files that were held are removed then)|rebootRequiredToFinish")

# The code, meaning and response of one entry "CODE|MEANING|RESPONSE".
function(return_code entry code_out meaning_out response_out)
    if(NOT entry MATCHES "^([0-9]+)\\|([^|]*)\\|(.*)$")
        message(FATAL_ERROR "malformed return code ${entry}")
    endif()
    set(${code_out} ${CMAKE_MATCH_1} PARENT_SCOPE)
    set(${meaning_out} "${CMAKE_MATCH_2}" PARENT_SCOPE)
    set(${response_out} "${CMAKE_MATCH_3}" PARENT_SCOPE)
endfunction()

set(codes "")
foreach(entry IN LISTS RETURN_CODES)
    return_code("${entry}" code meaning response)
    json_text("${meaning}" meaning)
    if(codes)
        string(APPEND codes ",\n")
    endif()
    string(APPEND codes "    {\"code\": ${code}, \"meaning\": ${meaning}}")
endforeach()

foreach(name PRODUCT_NAME PUBLISHER VERSION PRODUCT_CODE UPGRADE_CODE PACKAGE_CODE MSI_NAME
        MSI_SHA256 MSI_INSTALL MSI_UNINSTALL EXE_NAME EXE_SHA256 EXE_INSTALL EXE_UNINSTALL
        UNINSTALL_KEY)
    json_text("${${name}}" J_${name})
endforeach()
json_text("msiexec /x ${MSI_NAME} /qn /norestart /l*v remove.log" J_MSI_UNINSTALL_FILE)
json_text("installed when Windows Installer knows the product code, or a product of the upgrade code with a version of ${VERSION} or higher" J_MSI_RULE)
json_text("installed when the key's value DisplayVersion (64-bit registry) is ${VERSION} or higher" J_EXE_RULE)
json_text("${EXE_NAME} /S /D=D:\\Apps\\Zentavo (last, unquoted) for another folder; the entry's QuietUninstallString removes it from where it is" J_EXE_NOTE)

file(WRITE ${OUTPUT} "{
  \"product\": ${J_PRODUCT_NAME},
  \"publisher\": ${J_PUBLISHER},
  \"version\": ${J_VERSION},
  \"packages\": {
    \"msi\": {
      \"file\": ${J_MSI_NAME},
      \"size\": ${MSI_SIZE},
      \"sha256\": ${J_MSI_SHA256},
      \"productCode\": ${J_PRODUCT_CODE},
      \"upgradeCode\": ${J_UPGRADE_CODE},
      \"packageCode\": ${J_PACKAGE_CODE},
      \"install\": ${J_MSI_INSTALL},
      \"uninstall\": ${J_MSI_UNINSTALL},
      \"uninstallByFile\": ${J_MSI_UNINSTALL_FILE},
      \"detection\": {
        \"rule\": ${J_MSI_RULE},
        \"productCode\": ${J_PRODUCT_CODE},
        \"upgradeCode\": ${J_UPGRADE_CODE},
        \"minimumVersion\": ${J_VERSION}
      }
    },
    \"installer\": {
      \"file\": ${J_EXE_NAME},
      \"size\": ${EXE_SIZE},
      \"sha256\": ${J_EXE_SHA256},
      \"uninstallKey\": ${J_UNINSTALL_KEY},
      \"install\": ${J_EXE_INSTALL},
      \"installNote\": ${J_EXE_NOTE},
      \"uninstall\": ${J_EXE_UNINSTALL},
      \"detection\": {
        \"rule\": ${J_EXE_RULE},
        \"key\": ${J_UNINSTALL_KEY},
        \"value\": \"DisplayVersion\",
        \"minimumVersion\": ${J_VERSION}
      }
    }
  },
  \"returnCodes\": [
${codes}
  ]
}
")

# The winget manifest set: version, default locale and installer files of one version.
set(header "# Made by the build of ${PRODUCT_NAME} ${VERSION}.\n# yaml-language-server: $schema=https://aka.ms/winget-manifest")
yaml_text("${PRODUCT_NAME}" Y_NAME)
yaml_text("${PUBLISHER}" Y_PUBLISHER)
yaml_text("${VERSION}" Y_VERSION)
yaml_text("${DOWNLOAD_URL}/${EXE_NAME}" Y_URL)
file(MAKE_DIRECTORY ${WINGET_DIR})
file(WRITE ${WINGET_DIR}/${PACKAGE_ID}.yaml "${header}.version.${WINGET_SCHEMA}.schema.json
PackageIdentifier: ${PACKAGE_ID}
PackageVersion: ${Y_VERSION}
DefaultLocale: en-US
ManifestType: version
ManifestVersion: ${WINGET_SCHEMA}
")
file(WRITE ${WINGET_DIR}/${PACKAGE_ID}.locale.en-US.yaml "${header}.defaultLocale.${WINGET_SCHEMA}.schema.json
PackageIdentifier: ${PACKAGE_ID}
PackageVersion: ${Y_VERSION}
PackageLocale: en-US
Publisher: ${Y_PUBLISHER}
PublisherUrl: '${PUBLISHER_URL}'
PackageName: ${Y_NAME}
PackageUrl: '${PUBLISHER_URL}'
License: Proprietary
Copyright: 'Copyright (C) ${PUBLISHER}'
ShortDescription: 'A virtual printer for 64-bit Windows.'
ManifestType: defaultLocale
ManifestVersion: ${WINGET_SCHEMA}
")
set(expected "")
foreach(entry IN LISTS RETURN_CODES)
    return_code("${entry}" code meaning response)
    if(response)
        string(APPEND expected "- InstallerReturnCode: ${code}\n  ReturnResponse: ${response}\n")
    endif()
endforeach()
# The installer's Add/Remove key name is what winget takes as a non-MSI installer's product code.
file(WRITE ${WINGET_DIR}/${PACKAGE_ID}.installer.yaml "${header}.installer.${WINGET_SCHEMA}.schema.json
PackageIdentifier: ${PACKAGE_ID}
PackageVersion: ${Y_VERSION}
InstallerType: nullsoft
Scope: machine
InstallModes:
- interactive
- silent
InstallerSwitches:
  Silent: /S
  SilentWithProgress: /S
UpgradeBehavior: install
ElevationRequirement: elevatesSelf
ProductCode: Zentavo
ExpectedReturnCodes:
${expected}AppsAndFeaturesEntries:
- DisplayName: ${Y_NAME}
  Publisher: ${Y_PUBLISHER}
  DisplayVersion: ${Y_VERSION}
  ProductCode: Zentavo
  InstallerType: nullsoft
Installers:
- Architecture: x64
  InstallerUrl: ${Y_URL}
  InstallerSha256: ${EXE_SHA256}
ManifestType: installer
ManifestVersion: ${WINGET_SCHEMA}
")
