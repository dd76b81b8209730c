// SPDX-License-Identifier: GPL-3.0-or-later
// A patch in a test: a runtime whose console lines are collected, driven by script lines, so a
// test reads like a patch: create the box, send the message, compare the printed line.
#pragma once

#include "app/script.hpp"
#include "host/runtime.hpp"

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace tovo::testing {

class Patch {
public:
    // TOVO_EXTERNALS_DIR is the build's externals folder, given by the test's CMake target.
    explicit Patch(std::string externals = TOVO_EXTERNALS_DIR)
        : rt_(externals, [this](std::string_view line) { lines_.emplace_back(line); }),
          script_(rt_) {}

    // Runs script text (one command per line) and returns the lines it printed.
    std::vector<std::string> run(std::string_view text) {
        const std::size_t from = lines_.size();
        std::istringstream in{std::string(text)};
        std::string line;
        while (std::getline(in, line))
            script_.run_line(line, ++line_number_);
        return {lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end()};
    }

    // The one line a script printed ("" when it printed none or several).
    std::string line(std::string_view text) {
        auto out = run(text);
        return out.size() == 1 ? out[0] : std::string();
    }

    int errors() const { return script_.errors(); }
    host::Runtime& runtime() { return rt_; }

    // A box's inlets and outlets, as a patcher shows them; -1 when there is no such box.
    int inlets(const std::string& name) const {
        const host::Box* b = rt_.box(name);
        return b ? b->inlet_count() : -1;
    }
    int outlets(const std::string& name) const {
        const host::Box* b = rt_.box(name);
        return b ? static_cast<int>(b->outlets.size()) : -1;
    }
    // The object's own record, for calling the host API on its behalf; null when there is no box.
    void* instance(const std::string& name) const {
        const host::Box* b = rt_.box(name);
        return b ? b->instance : nullptr;
    }

    // Calls f with this patch's runtime current, as the host is when it calls into a plug-in, and
    // returns the lines printed meanwhile.
    template <class F> std::vector<std::string> call(F f) {
        const std::size_t from = lines_.size();
        {
            host::CurrentRuntime here(&rt_);
            f();
        }
        return {lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end()};
    }

private:
    std::vector<std::string> lines_;
    host::Runtime rt_;
    app::Script script_;
    int line_number_ = 0;
};

// The numbers of a printed line "LABEL: n n n ...", parsed as floats.
inline std::vector<float> numbers(const std::string& line) {
    std::vector<float> values;
    std::istringstream in(line.substr(line.find(':') + 1));
    std::string token;
    while (in >> token)
        values.push_back(std::stof(token));
    return values;
}

} // namespace tovo::testing
