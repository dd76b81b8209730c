// SPDX-License-Identifier: GPL-3.0-or-later
// The binaural designs boxes use, made on the message side and shared: boxes of one format on
// one set at one rate share one design, and the last few designs are kept, so that a patch
// with many boxes, or one made and freed again, reads and fits a set once. A file changed on
// disk (another size or time) is read again.
#pragma once

#include "binaural_design.hpp"

#include <memory>
#include <string>

namespace tovo::ambi {

struct BinauralDesign {
    BinauralFilters filters;
    std::string path; // as the box was given it
    int measurements = 0;
    double file_rate = 0;
};

// The design of `format` for the set in `path` at `rate`, or null with libmysofa's reason in
// words. Safe to call from several threads.
std::shared_ptr<const BinauralDesign> binaural_design_for(const std::string& path, double rate,
                                                          const AmbiFormat& format,
                                                          std::string& reason);

} // namespace tovo::ambi
