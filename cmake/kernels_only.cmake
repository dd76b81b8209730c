# SPDX-License-Identifier: GPL-3.0-or-later
# The ambisonic maths and signal kernels with their unit tests, and nothing of the host: what a
# cross build for another architecture compiles and runs (see aarch64-linux-gnu.cmake), since
# the host's other dependencies are not installed for the target. GoogleTest is built from
# Debian's sources for the target.
set(TOVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, built for the target")
add_subdirectory(${TOVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_compile_options(-Wall -Wextra -Werror)
add_subdirectory(ambi)

enable_testing()
include(GoogleTest)
include_directories(${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
add_subdirectory(tests/ambi)
