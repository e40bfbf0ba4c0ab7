# Makes a delay-load import library for every function that a system import library exports:
#   cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIB=libx.a -DDLL=x.dll -DDEF=x.def -DOUTPUT=libx_delay.a
#         -P delay_import_lib.cmake
# Taking the names from the ordinary import library means no function of the DLL can slip back
# into the ordinary import table unnoticed.
execute_process(COMMAND ${NM} ${IMPORT_LIB} OUTPUT_VARIABLE symbols ERROR_QUIET
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} ${IMPORT_LIB} failed")
endif()
string(REGEX MATCHALL "[ \t]I __imp_[A-Za-z0-9_]+" entries "${symbols}")
set(names)
foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*__imp_" "" name "${entry}")
    list(APPEND names ${name})
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(LENGTH names count)
if(count EQUAL 0)
    message(FATAL_ERROR "no exports found in ${IMPORT_LIB}")
endif()
list(JOIN names "\n" exports)
file(WRITE ${DEF} "LIBRARY ${DLL}\nEXPORTS\n${exports}\n")
execute_process(COMMAND ${DLLTOOL} --output-delaylib ${OUTPUT} --input-def ${DEF} --dllname ${DLL}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${DLLTOOL} could not make ${OUTPUT}")
endif()
