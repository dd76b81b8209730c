# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when an object built with wider instructions than baseline x86-64 defines an external
# symbol other than its table of entry points: a shared inline function compiled there could be
# the copy the linker keeps for every caller, the baseline path included.
# Arguments: -DNM=<nm> -DOBJECTS=<objects of tovo_ambi, joined by |>.
string(REPLACE "|" ";" objects "${OBJECTS}")
set(checked 0)
foreach(object ${objects})
    string(REGEX MATCH "kernels_(avx[0-9]+)\\.cpp\\.o$" wide "${object}")
    if(NOT wide)
        continue()
    endif()
    string(TOUPPER ${CMAKE_MATCH_1} isa)
    execute_process(COMMAND ${NM} -C -g --defined-only ${object}
                    OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${NM} could not read ${object}")
    endif()
    string(REPLACE "\n" ";" symbols "${symbols}")
    foreach(line ${symbols})
        # AddressSanitizer marks each global with an indicator of its own, named after it; an
        # object with unwinding code refers to the C++ personality routine through a weak data
        # word, the same in every object and no code of this one.
        if(line MATCHES " V DW\\.ref\\.__gxx_personality_v0$")
            continue()
        endif()
        if(NOT line MATCHES "(tovo::ambi::|__odr_asan\\._ZN4tovo4ambi[0-9]+)KERNELS_${isa}E?$")
            message(FATAL_ERROR "${object} defines a symbol other than its kernel table: ${line}")
        endif()
    endforeach()
    math(EXPR checked "${checked} + 1")
endforeach()
if(NOT checked EQUAL 2)
    message(FATAL_ERROR "expected the avx2 and avx512 kernel objects, checked ${checked}")
endif()
