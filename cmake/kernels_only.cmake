# SPDX-License-Identifier: GPL-3.0-or-later
# The ambisonic maths and signal kernels with their unit tests, and nothing of the host: what a
# cross build for another architecture compiles and runs (see aarch64-linux-gnu.cmake), since
# the host's other dependencies are not installed for the target. GoogleTest is built from
# Debian's sources for the target.
set(TOVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, built for the target")
add_subdirectory(${TOVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Eigen is headers only: the build machine's copy serves the target.
set(Eigen3_DIR /usr/share/eigen3/cmake CACHE PATH "Eigen's CMake package")

add_compile_options(-Wall -Wextra -Werror)
# The SDK's headers alone (the quaternion maths reads atoms), and the two maths libraries.
add_library(tovo_sdk_headers INTERFACE)
target_include_directories(tovo_sdk_headers INTERFACE ${PROJECT_SOURCE_DIR}/include)
add_subdirectory(rotation)
add_subdirectory(ambi)

enable_testing()
include(GoogleTest)
include_directories(${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
add_subdirectory(tests/ambi)
