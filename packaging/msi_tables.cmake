# Completes the tables of a package that wixl made, as Windows Installer's validation expects:
#   cmake -DMSIBUILD=... -DMSIINFO=... -DMSI=package.msi -DWXS=source.wxs -DFILES="ID=PATH;..."
#         -P msi_tables.cmake
# - File: Version and Language of every versioned file (FILES names each file row's source),
#   read from the file's version resource; such a file has no MsiFileHash row.
# - CustomAction: every action that the source declares Execute="rollback" is one, in the script
#   (wixl compiles it as an immediate action), without impersonation where the source says so;
#   no immediate action carries the no-impersonation bit (wixl sets it on all; ICE68), only
#   actions that run in the script.
# - Feature: the "Printer" feature cannot be set absent (wixl drops Absent="disallow").
# - InstallExecuteSequence: the old version's removal runs right after InstallInitialize, inside
#   the upgrade's own transaction (wixl places it before, where a failed upgrade cannot bring the
#   removed version back), after the rollback action of its upgrade note at 1501.

cmake_minimum_required(VERSION 3.25)

function(msi_query sql)
    execute_process(COMMAND ${MSIBUILD} ${MSI} -q "${sql}" RESULT_VARIABLE status
        ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${MSI}: ${sql} failed: ${error}")
    endif()
endfunction()

# The two bytes at byte offset `at` of the hex text, as a number.
function(word_at hex at out)
    math(EXPR low_index "${at} * 2")
    math(EXPR high_index "${at} * 2 + 2")
    string(SUBSTRING "${hex}" ${low_index} 2 low)
    string(SUBSTRING "${hex}" ${high_index} 2 high)
    math(EXPR value "0x${high}${low}")
    set(${out} ${value} PARENT_SCOPE)
endfunction()

# The first occurrence of `needle` at a whole byte of the hex text, as a byte offset, or -1.
function(find_bytes hex needle out)
    set(rest "${hex}")
    set(skipped 0)
    while(TRUE)
        string(FIND "${rest}" "${needle}" at)
        if(at LESS 0)
            set(${out} -1 PARENT_SCOPE)
            return()
        endif()
        math(EXPR odd "${at} % 2")
        if(odd EQUAL 0)
            math(EXPR byte "(${skipped} + ${at}) / 2")
            set(${out} ${byte} PARENT_SCOPE)
            return()
        endif()
        math(EXPR next "${at} + 1")
        string(SUBSTRING "${rest}" ${next} -1 rest)
        math(EXPR skipped "${skipped} + ${next}")
    endwhile()
endfunction()

# VERSION (a.b.c.d) and LANGUAGE (decimal) of a file's version resource; empty when it has none.
function(file_version path version_out language_out)
    set(${version_out} "" PARENT_SCOPE)
    set(${language_out} "" PARENT_SCOPE)
    file(READ ${path} hex HEX)
    # VS_VERSIONINFO: its UTF-16 key "VS_VERSION_INFO" at offset 6 of the 4-aligned record,
    # then VS_FIXEDFILEINFO at 40: signature 0xFEEF04BD, structure version, the file version.
    find_bytes("${hex}" "560053005f00560045005200530049004f004e005f0049004e0046004f000000" key)
    if(key LESS 0)
        return()
    endif()
    math(EXPR fixed "${key} + 34")
    math(EXPR signature_index "${fixed} * 2")
    string(SUBSTRING "${hex}" ${signature_index} 8 signature)
    if(NOT signature STREQUAL "bd04effe")
        return()
    endif()
    math(EXPR at "${fixed} + 8")
    word_at("${hex}" ${at} minor)
    math(EXPR at "${fixed} + 10")
    word_at("${hex}" ${at} major)
    math(EXPR at "${fixed} + 12")
    word_at("${hex}" ${at} revision)
    math(EXPR at "${fixed} + 14")
    word_at("${hex}" ${at} build)
    set(${version_out} "${major}.${minor}.${build}.${revision}" PARENT_SCOPE)
    # The Var "Translation" (UTF-16 key at offset 6 of its 4-aligned record, its value at 32):
    # the first language of the file.
    find_bytes("${hex}" "5400720061006e0073006c006100740069006f006e000000" key)
    set(language 0)
    if(key GREATER_EQUAL 0)
        math(EXPR at "${key} + 26")
        word_at("${hex}" ${at} language)
    endif()
    set(${language_out} ${language} PARENT_SCOPE)
endfunction()

foreach(entry IN LISTS FILES)
    string(REGEX REPLACE "=.*" "" id "${entry}")
    string(REGEX REPLACE "^[^=]*=" "" path "${entry}")
    file_version(${path} version language)
    if(version)
        msi_query("UPDATE `File` SET `Version` = '${version}', `Language` = '${language}' WHERE `File` = '${id}'")
        execute_process(COMMAND ${MSIINFO} tables ${MSI} OUTPUT_VARIABLE tables)
        if(tables MATCHES "(^|\n)MsiFileHash\r?\n")
            msi_query("DELETE FROM `MsiFileHash` WHERE `File_` = '${id}'")
        endif()
    endif()
endforeach()

# msidbFeatureAttributesUIDisallowAbsent
set(DISALLOW_ABSENT 16)
execute_process(COMMAND ${MSIINFO} export ${MSI} Feature OUTPUT_VARIABLE features)
string(REGEX MATCH "(^|\n)Printer\t[^\n]*" row "${features}")
string(REPLACE "\t" ";" fields "${row}")
list(LENGTH fields count)
if(count LESS 8)
    message(FATAL_ERROR "${MSI}: no feature Printer")
endif()
list(GET fields 7 attributes)
string(STRIP "${attributes}" attributes)
math(EXPR attributes "${attributes} | ${DISALLOW_ABSENT}")
msi_query("UPDATE `Feature` SET `Attributes` = ${attributes} WHERE `Feature` = 'Printer'")

# msidbCustomActionTypeInScript, msidbCustomActionTypeNoImpersonate,
# msidbCustomActionTypeRollback
set(IN_SCRIPT 1024)
set(NO_IMPERSONATE 2048)
set(ROLLBACK 256)
file(READ ${WXS} source)
string(REGEX MATCHALL "<CustomAction [^>]*>" declared "${source}")
execute_process(COMMAND ${MSIINFO} export ${MSI} CustomAction OUTPUT_VARIABLE actions)
foreach(declaration IN LISTS declared)
    if(NOT declaration MATCHES "Execute=\"rollback\"")
        continue()
    endif()
    string(REGEX MATCH "Id=\"([^\"]+)\"" unused "${declaration}")
    set(action ${CMAKE_MATCH_1})
    if(NOT actions MATCHES "(^|\n)${action}\t([0-9]+)\t")
        message(FATAL_ERROR "${MSI}: no custom action ${action}")
    endif()
    math(EXPR type "${CMAKE_MATCH_2} | ${IN_SCRIPT} | ${ROLLBACK}")
    if(declaration MATCHES "Impersonate=\"no\"")
        math(EXPR type "${type} | ${NO_IMPERSONATE}")
    endif()
    msi_query("UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${action}'")
endforeach()

execute_process(COMMAND ${MSIINFO} export ${MSI} CustomAction OUTPUT_VARIABLE actions)
string(REPLACE "\r" "" actions "${actions}")
string(REPLACE "\n" ";" rows "${actions}")
list(SUBLIST rows 3 -1 rows)
foreach(row IN LISTS rows)
    if(NOT row MATCHES "^([^\t]+)\t([0-9]+)\t")
        continue()
    endif()
    set(action ${CMAKE_MATCH_1})
    set(type ${CMAKE_MATCH_2})
    math(EXPR in_script "${type} & ${IN_SCRIPT}")
    math(EXPR no_impersonate "${type} & ${NO_IMPERSONATE}")
    if(in_script EQUAL 0 AND NOT no_impersonate EQUAL 0)
        math(EXPR type "${type} & ~${NO_IMPERSONATE}")
        msi_query("UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${action}'")
    endif()
endforeach()

# Right after InstallInitialize (1500) and its rollback action (1501), before any action that
# writes the script: the rollback of a failed upgrade then restores the old version it removed.
msi_query("UPDATE `InstallExecuteSequence` SET `Sequence` = 1502 WHERE `Action` = 'RemoveExistingProducts'")
