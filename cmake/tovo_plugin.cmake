# SPDX-License-Identifier: GPL-3.0-or-later
# tovo_add_plugin(<target> CLASS <class name> SOURCES <files>... [DESTINATION <dir>])
#
# One class, one plug-in: a module named after its class (rot.slerp -> rot.slerp.so, my.gain~ ->
# my.gain~.so) that sees the SDK's headers alone and exports nothing but its entry point `main`.
# Used by the package's own build and, installed beside its map file, by plug-ins built against
# the package.

function(tovo_add_plugin target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "CLASS;DESTINATION" "SOURCES")
    if(NOT ARG_CLASS OR NOT ARG_SOURCES)
        message(FATAL_ERROR "tovo_add_plugin(${target}): give CLASS <class name> and SOURCES")
    endif()
    add_library(${target} MODULE ${ARG_SOURCES})
    if(ARG_DESTINATION)
        set(destination ${ARG_DESTINATION})
    elseif(DEFINED TOVO_EXTERNALS_DIR)
        set(destination ${TOVO_EXTERNALS_DIR})
        # The package's own classes, for what takes every class: the install, the Pd externals.
        set_property(GLOBAL APPEND PROPERTY TOVO_PACKAGE_PLUGINS ${target})
    else()
        set(destination ${CMAKE_CURRENT_BINARY_DIR})
    endif()
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME "${ARG_CLASS}" PREFIX "" SUFFIX ".so"
        LIBRARY_OUTPUT_DIRECTORY ${destination}
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
        TOVO_CLASS "${ARG_CLASS}")
    target_link_libraries(${target} PRIVATE tovo::sdk)
    set(map ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/tovo_plugin.map)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
