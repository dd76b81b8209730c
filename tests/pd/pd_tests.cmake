# SPDX-License-Identifier: GPL-3.0-or-later
# The Pd tests, run by ctest in a real, headless Pd that loads build/pd/tovo. Included by the Pd
# build once every class is known (TOVO_PD_CLASSES); each test reads what Pd prints, since Pd
# exits 0 even when a box could not be made.
if(NOT PD_PROGRAM)
    message(WARNING "m_pd.h found but no pd program: the Pd tests are left out")
    return()
endif()
set(check $<TARGET_FILE:tovo-pd-check>)
set(pd_args --pd ${PD_PROGRAM} --path ${TOVO_PD_DIR})
set(work ${CMAKE_BINARY_DIR}/tests/pd)
file(MAKE_DIRECTORY ${work})

foreach(class IN LISTS TOVO_PD_CLASSES)
    tovo_pd_setup_symbol("${class}" symbol)
    # The doc example in Pd, line for line.
    set(example ${PROJECT_SOURCE_DIR}/examples/docs/${class}.tovo)
    add_test(NAME pd.docs.${class}
        COMMAND ${check} doc ${pd_args} --work ${work}/docs ${example}
                ${PROJECT_SOURCE_DIR}/examples/docs/${class}.out)
    # The help patch: a hand-written example exists, and the patch opens with no error line.
    add_test(NAME pd.help.${class}
        COMMAND ${CMAKE_COMMAND} -DEXAMPLE=${PROJECT_SOURCE_DIR}/pd/help/${class}.pd
                -DCHECK=${check} -DPD=${PD_PROGRAM} -DDIR=${TOVO_PD_DIR} -DWORK=${work}/help
                "-DHELP=${TOVO_PD_DIR}/${class}-help.pd"
                -P ${PROJECT_SOURCE_DIR}/tests/pd/help_check.cmake)
    # The external exports its setup function and nothing else.
    add_test(NAME pd.exports.${class}
        COMMAND ${CMAKE_COMMAND} "-DFILE=${TOVO_PD_DIR}/${class}.pd_linux" -DSYMBOL=${symbol}
                -P ${PROJECT_SOURCE_DIR}/tests/pd/exports_check.cmake)
endforeach()

# The encoder and decoder render in Pd what they render in the tovo host, bit for bit.
foreach(case 2d-1st 2d-2nd 2d-3rd 3d-1st 3d-2nd 3d-3rd)
    add_test(NAME pd.render.${case}
        COMMAND ${check} render ${pd_args} --tovo $<TARGET_FILE:tovo>
                --externals ${TOVO_EXTERNALS_DIR} --work ${work}/render ${case})
endforeach()

# Outlet order, what an unknown message does, and long names (tovo/quat) with the folder above
# the package on the path.
set(long_args --pd ${PD_PROGRAM} --path ${CMAKE_BINARY_DIR}/pd)
add_test(NAME pd.outlet-order
    COMMAND ${check} run ${long_args} ${PROJECT_SOURCE_DIR}/tests/pd/outlet_order.pd
            --expect "orientation: 0.707107 0 0 0.707107"
            --expect "vector: -1.34359e-07 1 0"
            --expect "speaker0-ahead: 1"
            --expect "speaker1-behind: 1")
add_test(NAME pd.unknown-message
    COMMAND ${check} run ${long_args} ${PROJECT_SOURCE_DIR}/tests/pd/unknown_message.pd
            --expect "error: quat: doesn't understand \"spin\""
            --expect "after: 1 0 0 0"
            --expect "error: tovo.ambi.decode~: doesn't understand \"assist\""
            --expect "error: rot.apply: doesn't understand \"foo\""
            --expect "still: 1 2 3")
add_test(NAME pd.long-names
    COMMAND ${check} run ${long_args} ${PROJECT_SOURCE_DIR}/tests/pd/long_names.pd
            --expect "bounds: position 0 0 0"
            --expect "bounds: bounds -1 0 1 3 4 5")
# The live patch makes every box.
add_test(NAME pd.example.ring
    COMMAND ${check} open ${pd_args} --work ${work}/open ${PROJECT_SOURCE_DIR}/examples/pd/ring.pd)

get_property(pd_tests DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY TESTS)
foreach(t IN LISTS pd_tests)
    if(t MATCHES "^pd\\.")
        set_tests_properties(${t} PROPERTIES LABELS pd)
    endif()
endforeach()

# The number rule: what Pd prints where it differs from the tovo host (an integer angle taken,
# integral weights in a message set), and a lone number reaching the list handler.
add_test(NAME pd.number-rule
    COMMAND ${check} doc ${pd_args} --work ${work}/docs
            ${PROJECT_SOURCE_DIR}/tests/pd/number_rule.tovo
            ${PROJECT_SOURCE_DIR}/tests/pd/number_rule.out)
set_tests_properties(pd.number-rule PROPERTIES LABELS pd)

# A message of more atoms than the binding converts without an allocation arrives whole.
add_test(NAME pd.long-message
    COMMAND ${check} doc ${pd_args} --work ${work}/docs
            ${PROJECT_SOURCE_DIR}/tests/pd/long_message.tovo
            ${PROJECT_SOURCE_DIR}/tests/pd/long_message.out)
set_tests_properties(pd.long-message PROPERTIES LABELS pd)
