// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the script reader and command runner fed arbitrary text, against the real
// plug-ins. Each input is a fresh patch, run in a folder of generated sound files (valid,
// truncated, lying, empty). Lines that name a path (a "/": a file outside that folder) or process
// more signal than one input can afford are left out; every other line goes to the reader
// exactly as a user would type it.
#include "app/script.hpp"
#include "fuzz_support.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

using namespace tovo;

// Signal samples one input may process: enough for every command, few enough to stay fast.
constexpr double SAMPLE_BUDGET = 1 << 17;

// False for a line that must not run here; a line that processes signal spends the budget.
bool affordable(std::string_view line, const host::Runtime& rt, double& budget) {
    if (line.find('/') != std::string_view::npos)
        return false;
    const std::vector<std::string_view> w = app::split_tokens(line);
    if (w.empty() || (w[0] != "dsp" && w[0] != "run") || w.size() != 2)
        return true;
    host::Atom a{};
    std::string why;
    if (!app::parse_atom(w[1], a, why) || a.a_type == host::A_SYM)
        return true; // the reader refuses it
    const double value = host::atom_to_double(a);
    const double vectors = w[0] == "dsp" ? value : value * rt.sample_rate() / rt.vector_size();
    const double samples = (vectors + 1) * rt.vector_size();
    if (samples > budget)
        return false;
    if (samples > 0)
        budget -= samples;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::load_plugins();
    fuzz::enter_sound_folder();
    return 0;
}

namespace {

void run_script(std::string_view text) {
    // Console lines are not judged here: a print box may show any text, a fault's included.
    host::Runtime rt(TOVO_EXTERNALS_DIR, [](std::string_view) {});
    app::Script script(rt);
    double budget = SAMPLE_BUDGET;
    int number = 0;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        ++number;
        if (affordable(line, rt, budget))
            script.run_line(line, number);
        start = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InSoundFolder folder;
    run_script(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
