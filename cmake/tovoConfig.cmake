# SPDX-License-Identifier: GPL-3.0-or-later
# The tovo SDK as a CMake package. find_package(tovo CONFIG REQUIRED) gives the imported target
# tovo::sdk (the plug-in headers, and the host library behind them) and
# tovo_add_plugin(<target> CLASS <class name> SOURCES <files>...), which builds one plug-in,
# <class name>.so, in the calling folder's build folder.
if(CMAKE_VERSION VERSION_LESS 3.17)
    set(tovo_FOUND FALSE)
    set(tovo_NOT_FOUND_MESSAGE "tovo's CMake package needs CMake 3.17 or later")
    return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/tovoTargets.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/tovo_plugin.cmake)
