# SPDX-License-Identifier: GPL-3.0-or-later
# A class's help patch: it has a hand-written example (pd/help/<class>.pd), and it opens and runs
# in Pd with every box made and no error line.
if(NOT EXISTS "${EXAMPLE}")
    message(FATAL_ERROR "no help example ${EXAMPLE}: write the class's working example there "
                        "(see the README's Pd section)")
endif()
execute_process(COMMAND "${CHECK}" open --pd "${PD}" --path "${DIR}" --work "${WORK}" "${HELP}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the help patch ${HELP} did not open cleanly")
endif()
