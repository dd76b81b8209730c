# SPDX-License-Identifier: GPL-3.0-or-later
# An external's dynamic symbol table defines its setup function and nothing else: the plug-in's
# own main and helpers stay inside it (Pd exports a main of its own).
execute_process(COMMAND nm -D --defined-only "${FILE}" OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm could not read ${FILE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(names)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-f]* *[A-Za-z] " "" name "${line}")
    list(APPEND names "${name}")
endforeach()
if(NOT names STREQUAL "${SYMBOL}")
    message(FATAL_ERROR "${FILE} exports [${names}], expected only ${SYMBOL}")
endif()
message(STATUS "${FILE}: exports ${SYMBOL} alone")
