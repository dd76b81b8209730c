# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into WORK/prefix, builds a copy of the example plug-in there against it,
# moves the prefix to WORK/moved, and runs the moved tovo: on the example's script with the
# plug-in's build folder as externals, and on a script of the package's own classes with the
# externals folder it finds beside itself. Each prints what EXPECTED/<script>.out holds.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
    endif()
endfunction()

function(expect_output script)
    execute_process(COMMAND ${ARGN} ${script}
        RESULT_VARIABLE status OUTPUT_VARIABLE actual ERROR_VARIABLE err)
    get_filename_component(name ${script} NAME_WE)
    file(READ ${EXPECTED}/${name}.out expected)
    if(NOT actual STREQUAL expected OR NOT status EQUAL 0 OR NOT err STREQUAL "")
        message(FATAL_ERROR "${script}: exit status ${status}, printed\n${actual}"
                            "expected\n${expected}standard error:\n${err}")
    endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run("install" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

foreach(file bin/tovo bin/tovo-plot bin/tovo-levels include/tovo/api.hpp include/tovo/atom.hpp
        include/tovo/jitter.hpp include/tovo/version.hpp lib/cmake/tovo/tovoConfig.cmake
        lib/tovo/externals/rot.apply.so share/doc/tovo/README.md share/doc/tovo/LICENSE
        share/doc/tovo/docs/rot.apply.md)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "the install has no ${file}")
    endif()
endforeach()
# The host library by its versioned name, and no test plug-in among the package's.
file(GLOB host_library ${prefix}/lib/libtovo_host.so.[0-9]*)
if(NOT EXISTS ${prefix}/lib/libtovo_host.so OR NOT host_library)
    message(FATAL_ERROR "the install has no libtovo_host.so with its versioned names")
endif()
if(EXISTS ${prefix}/lib/tovo/externals/list_echo.so)
    message(FATAL_ERROR "a test plug-in was installed with the package's")
endif()

# The example as its author has it: a folder of its own, far from this tree.
file(COPY ${EXAMPLE}/ DESTINATION ${WORK}/echo)
run("configuring the example" ${CMAKE_COMMAND} -S ${WORK}/echo -B ${WORK}/echo/build
    -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_PREFIX_PATH=${prefix})
run("building the example" ${CMAKE_COMMAND} --build ${WORK}/echo/build)

# Moved, the tree must still find its library, its plug-ins and its CMake package.
set(moved ${WORK}/moved)
file(RENAME ${prefix} ${moved})
file(GLOB_RECURSE package_files ${moved}/lib/cmake/tovo/*)
foreach(file ${package_files})
    file(STRINGS ${file} named REGEX "${WORK}")
    if(named)
        message(FATAL_ERROR "${file} names the install prefix: ${named}")
    endif()
endforeach()

expect_output(${WORK}/echo/echo.tovo ${moved}/bin/tovo --externals ${WORK}/echo/build)
expect_output(${EXPECTED}/installed.tovo ${moved}/bin/tovo)
