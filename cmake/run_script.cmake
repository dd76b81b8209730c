# SPDX-License-Identifier: GPL-3.0-or-later
# Runs one patch script through tovo and compares its output with the expected lines.
# Leading comment lines of the script may say:
#   # externals: test      run against the test plug-ins instead of the package's
#   # externals: NAME      run against the folder externals-NAME beside the test plug-ins' folder,
#                          which a test's CMake file sets up (a package folder with a part missing)
#   # exit: N              the exit status to expect (default 0)
file(STRINGS ${SCRIPT} header LIMIT_COUNT 10)
set(dir ${EXTERNALS})
set(expected_status 0)
foreach(line IN LISTS header)
    if(line MATCHES "^# externals: test *$")
        set(dir ${TEST_EXTERNALS})
    elseif(line MATCHES "^# externals: ([A-Za-z0-9_-]+)")
        set(dir ${TEST_EXTERNALS}-${CMAKE_MATCH_1})
    elseif(line MATCHES "^# exit: ([0-9]+)")
        set(expected_status ${CMAKE_MATCH_1})
    endif()
endforeach()

execute_process(COMMAND ${TOVO} --externals ${dir} ${SCRIPT}
    OUTPUT_VARIABLE actual ERROR_VARIABLE stderr RESULT_VARIABLE status)
get_filename_component(actual_dir ${ACTUAL} DIRECTORY)
file(MAKE_DIRECTORY ${actual_dir})
file(WRITE ${ACTUAL} "${actual}")

file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
    execute_process(COMMAND diff -u ${EXPECTED} ${ACTUAL})
    message(FATAL_ERROR "output differs from ${EXPECTED} (actual in ${ACTUAL})\n${stderr}")
endif()
if(NOT status STREQUAL expected_status)
    message(FATAL_ERROR "exit status ${status}, expected ${expected_status}\n${stderr}")
endif()
if(NOT stderr STREQUAL "")
    message(FATAL_ERROR "unexpected output on standard error:\n${stderr}")
endif()
