// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-bench-boxes: how patch editing scales. Makes many boxes through script lines, connects
// them in a chain, and frees them, at two sizes: the time per box must not grow with the
// patch's size. Ends with one summary line per kind of box.
#include "app/script.hpp"
#include "host/runtime.hpp"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Figures {
    double make = 0, free = 0; // seconds
};

// `count` boxes of `words` (named b0, b1, ...), each connected from outlet 0 of the one before
// into inlet 0 when `chain` is set. Every other box is then freed by name, and the rest go with
// the patch.
Figures measure(const std::string& words, long count, bool chain) {
    Figures f;
    long errors = 0;
    auto freeing = Clock::now();
    {
        tovo::host::Runtime rt(tovo::app::default_externals(), [](std::string_view) {});
        tovo::app::Script script(rt);
        const auto start = Clock::now();
        for (long i = 0; i < count; ++i) {
            script.run_line("new b" + std::to_string(i) + " " + words, 1);
            if (chain && i > 0)
                script.run_line(
                    "connect b" + std::to_string(i - 1) + " 0 b" + std::to_string(i) + " 0", 1);
        }
        f.make = seconds_since(start);
        errors = rt.error_lines();
        freeing = Clock::now();
        for (long i = 0; i < count; i += 2)
            script.run_line("free b" + std::to_string(i), 1);
    }
    f.free = seconds_since(freeing);
    if (errors)
        std::fprintf(stderr, "tovo-bench-boxes: %ld error lines making %s\n", errors,
                     words.c_str());
    return f;
}

} // namespace

int main() {
    struct Case {
        const char* words;
        const char* name;
        long small, large;
        bool chain;
    };
    const Case cases[] = {
        {"print", "print", 10000, 100000, false},
        {"prepend x", "prepend-chain", 10000, 100000, true},
        {"tovo.ambi.decode~ 3d 3rd 32", "decoder-3d-3rd-32", 1000, 10000, false},
    };
    std::printf("tovo-bench-boxes: boxes made through script lines, then every other one freed "
                "by name and the rest with the patch\n");
    std::printf("%-20s %8s %12s %12s %14s %14s\n", "boxes", "count", "make (s)", "free (s)",
                "make/box (us)", "free/box (us)");
    std::vector<std::string> summary;
    for (const Case& c : cases) {
        double per_box[2][2] = {};
        for (int size = 0; size < 2; ++size) {
            const long count = size ? c.large : c.small;
            const Figures f = measure(c.words, count, c.chain);
            per_box[size][0] = f.make / static_cast<double>(count) * 1e6;
            per_box[size][1] = f.free / static_cast<double>(count) * 1e6;
            std::printf("%-20s %8ld %12.3f %12.3f %14.2f %14.2f\n", c.name, count, f.make, f.free,
                        per_box[size][0], per_box[size][1]);
        }
        char line[256];
        std::snprintf(line, sizeof line,
                      "summary boxes-%s-%ld: made %.2f us/box, freed %.2f us/box; "
                      "per box at %ld over at %ld: make %.2f, free %.2f",
                      c.name, c.large, per_box[1][0], per_box[1][1], c.large, c.small,
                      per_box[1][0] / per_box[0][0], per_box[1][1] / per_box[0][1]);
        summary.push_back(line);
    }
    for (const std::string& line : summary)
        std::printf("%s\n", line.c_str());
    return 0;
}
