# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install build --prefix P` lays out:
#   P/bin/                  tovo, tovo-plot, tovo-levels
#   P/lib/                  libtovo_host.so, the host library every plug-in links against
#   P/lib/tovo/externals/   the package's plug-ins, <class>.so: the installed tovo's default folder
#   P/include/tovo/         the SDK headers
#   P/lib/cmake/tovo/       the CMake package: tovo::sdk and tovo_add_plugin()
#   P/share/doc/tovo/       README, LICENSE and the reference pages (docs/)
# Nothing installed names P: run paths start from $ORIGIN, the CMake package finds itself from its
# own folder and tovo its plug-ins from its own, so the tree works wherever it is moved.
include(CMakePackageConfigHelpers)

set(package_dir lib/cmake/tovo)

set_target_properties(tovo tovo-plot tovo-levels PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
install(TARGETS tovo tovo-plot tovo-levels RUNTIME DESTINATION bin)

install(TARGETS tovo_host tovo_sdk_headers tovo_sdk EXPORT tovoTargets LIBRARY DESTINATION lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tovo DESTINATION include)

get_property(package_plugins GLOBAL PROPERTY TOVO_PACKAGE_PLUGINS)
set_target_properties(${package_plugins} PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
install(TARGETS ${package_plugins} LIBRARY DESTINATION lib/tovo/externals)

install(EXPORT tovoTargets NAMESPACE tovo:: FILE tovoTargets.cmake DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tovoConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/tovoConfig.cmake
              ${PROJECT_SOURCE_DIR}/cmake/tovo_plugin.cmake
              ${PROJECT_SOURCE_DIR}/cmake/tovo_plugin.map
              ${CMAKE_BINARY_DIR}/tovoConfigVersion.cmake
        DESTINATION ${package_dir})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION share/doc/tovo)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/tovo/docs)
