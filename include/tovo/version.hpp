// SPDX-License-Identifier: GPL-3.0-or-later
// Versions of the package and of the plug-in API. The build reads the package's version from
// this file, so it is written here once.
#pragma once

// The package: its objects, the tovo host and the Pd build.
#define TOVO_VERSION_MAJOR 0
#define TOVO_VERSION_MINOR 2
#define TOVO_VERSION_PATCH 0
#define TOVO_VERSION_STRING_(a, b, c) #a "." #b "." #c
#define TOVO_VERSION_STRING_OF(a, b, c) TOVO_VERSION_STRING_(a, b, c)
#define TOVO_VERSION_STRING                                                                        \
    TOVO_VERSION_STRING_OF(TOVO_VERSION_MAJOR, TOVO_VERSION_MINOR, TOVO_VERSION_PATCH)

// The plug-in API, major * 10000 + minor * 100 + patch. A plug-in built against one major
// version loads into any host of the same major version and an equal or later minor one.
#define TOVO_API_VERSION 10000
