// SPDX-License-Identifier: GPL-3.0-or-later
// What both fuzz targets share: the package's classes, loading their plug-ins before the first
// input (so coverage counts them from the start), and the console lines only a fault prints.
#pragma once

#include "host/runtime.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tovo::fuzz {

inline constexpr const char* PACKAGE_CLASSES[] = {
    "tovo.ambi.encode~",
    "tovo.ambi.decode~",
    "tovo.ambi.binaural~",
    "tovo.ambi.rotate~",
    "tovo.ambi.convert~",
    "tovo.ambi.allrad~",
    "quat",
    "rot.apply",
    "rot.reverse",
    "rot.fromturn",
    "rot.toturn",
    "rot.fromangles",
    "rot.toangles",
    "rot.direction",
    "rot.fromypr",
    "rot.toypr",
    "tovo.gl.bounds",
    "tovo",
};

[[noreturn]] inline void fault(std::string_view what, std::string_view line) {
    std::fprintf(stderr, "fuzz: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(line.size()), line.data());
    std::abort();
}

// A plug-in that misuses the host API, or a perform routine that loses its place in the chain.
inline void check_fault_lines(std::string_view line) {
    if (line.starts_with("bug:"))
        fault("host API misused", line);
    if (line.starts_with("error: dsp: ") &&
        line.find("returned the wrong position") != std::string_view::npos)
        fault("perform routine lost its place", line);
}

inline void load_plugins() {
    host::Runtime rt(TOVO_EXTERNALS_DIR, [](std::string_view line) { check_fault_lines(line); });
    for (const char* cls : PACKAGE_CLASSES) {
        std::string why;
        if (!rt.create(std::string("preload ") + cls, cls, {}, why))
            fault("can't load the package", why);
    }
}

} // namespace tovo::fuzz
