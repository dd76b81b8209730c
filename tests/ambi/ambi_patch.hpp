// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for patches around the ambisonic objects: float atoms as script text, and the signal
// vectors that a row of print~ boxes printed, by label.
#pragma once

#include "support/patch.hpp"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tovo::testing {

// A float atom that reads back as exactly `v` (a point and an exponent make it a float).
inline std::string float_text(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9e", static_cast<double>(v));
    return text;
}

// "new NAME print~ NAME" and a cord from outlet k of `from` into it, for k below count; the
// boxes are named PREFIX0, PREFIX1, ...
inline std::string print_each_outlet(const std::string& from, int count,
                                     const std::string& prefix) {
    std::string script;
    for (int k = 0; k < count; ++k) {
        const std::string name = prefix + std::to_string(k);
        script += "new " + name + " print~ " + name + "\nconnect " + from + " " +
                  std::to_string(k) + " " + name + " 0\n";
    }
    return script;
}

// The vectors printed under PREFIX0, PREFIX1, ... by label; other lines are ignored.
inline std::vector<std::vector<float>> vectors_of(const std::vector<std::string>& lines,
                                                  const std::string& prefix, int count) {
    std::map<std::string, std::vector<float>> by_label;
    for (const std::string& line : lines)
        by_label[line.substr(0, line.find(':'))] = numbers(line);
    std::vector<std::vector<float>> vectors;
    for (int k = 0; k < count; ++k)
        vectors.push_back(by_label[prefix + std::to_string(k)]);
    return vectors;
}

} // namespace tovo::testing
