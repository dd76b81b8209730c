// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.binaural~'s convolution against libspatialaudio's binauralizer (virtual speakers
// on a dodecahedron at this order, kissfft overlap-add), both at third order in 3-D on the set
// Debian's libmysofa1 installs, at 48 kHz. Each round times a second's worth of vectors of each,
// in CPU time; the figures are medians over rounds, and the ratio is taken within each round.
#include "bench/binaural.hpp"

#include "ambi/binaural_sets.hpp"
#include "ambi/convolver.hpp"
#include "ambi/hrir_set.hpp"

#include <spatialaudio/Ambisonics.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <time.h>

namespace tovo::bench {

namespace {

constexpr double RATE = 48000;

// CPU time of this thread: what the figures are asked in, and steadier than the clock on a
// machine shared with other work.
double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::string figure(double v) {
    char text[32];
    std::snprintf(text, sizeof text, v >= 100 ? "%.0f" : v >= 10 ? "%.1f" : "%.2f", v);
    return text;
}

} // namespace

void bench_binaural(long n, int rounds, std::vector<std::string>& summary) {
    const ambi::AmbiFormat format = ambi::ambi_format(3, 3);
    std::string reason;
    const double design_start = cpu_ms();
    const auto design = ambi::binaural_design_for(ambi::DEFAULT_SOFA_PATH, RATE, format, reason);
    const double design_ms = cpu_ms() - design_start;
    if (!design) {
        std::printf("\nbinaural: can't read %s: %s\n", ambi::DEFAULT_SOFA_PATH, reason.c_str());
        return;
    }
    const int block = static_cast<int>(n);
    ambi::Convolver tovo;
    if (!tovo.prepare(block, 16, design->filters.taps))
        return;
    std::unique_ptr<ambi::FilterSpectra> spectra(tovo.make_spectra(design->filters));

    CAmbisonicBinauralizer peer;
    unsigned peer_taps = 0;
    const bool peer_ready =
        peer.Configure(3, true, static_cast<unsigned>(RATE), static_cast<unsigned>(n), peer_taps,
                       ambi::DEFAULT_SOFA_PATH);
    CBFormat field;
    field.Configure(3, true, static_cast<unsigned>(n));

    // A second of noise in every channel, the same for both.
    const long vectors = static_cast<long>(RATE) / n;
    std::mt19937 random(1);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    std::vector<std::vector<float>> input(16, std::vector<float>(static_cast<std::size_t>(n)));
    for (auto& channel : input)
        for (float& v : channel)
            v = noise(random);
    const float* in[16];
    for (int c = 0; c < 16; ++c) {
        in[c] = input[static_cast<std::size_t>(c)].data();
        field.InsertStream(input[static_cast<std::size_t>(c)].data(), static_cast<unsigned>(c),
                           static_cast<unsigned>(n));
    }
    std::vector<float> left(static_cast<std::size_t>(n)), right(left.size());
    float* ears[2] = {left.data(), right.data()};

    std::vector<double> tovo_ms, peer_ms, ratios;
    for (int r = 0; r < rounds; ++r) {
        double start = cpu_ms();
        for (long v = 0; v < vectors; ++v)
            tovo.process(*spectra, nullptr, in, left.data(), right.data(), 1.0f);
        tovo_ms.push_back(cpu_ms() - start);
        if (!peer_ready)
            continue;
        start = cpu_ms();
        for (long v = 0; v < vectors; ++v)
            peer.Process(&field, ears);
        peer_ms.push_back(cpu_ms() - start);
        ratios.push_back(peer_ms.back() / tovo_ms.back());
    }

    const std::string name = "binaural-3d3rd-n" + std::to_string(n);
    std::printf("\n%s: 16 channels to 2 ears at 48 kHz, vectors of %ld, the default set "
                "(read and fitted in %.0f ms of CPU, or kept from before; filters %d taps, %s)\n",
                name.c_str(), n, design_ms, design->filters.taps,
                design->filters.mirrored ? "mirrored" : "not mirrored");
    std::printf("  %-40s %12s %12s\n", "candidate", "ms/s", "fastest");
    std::printf("  %-40s %12s %12s\n", "tovo", figure(median(tovo_ms)).c_str(),
                figure(*std::min_element(tovo_ms.begin(), tovo_ms.end())).c_str());
    if (peer_ready)
        std::printf("  %-40s %12s %12s\n",
                    ("libspatialaudio (" + std::to_string(peer_taps) + " taps)").c_str(),
                    figure(median(peer_ms)).c_str(),
                    figure(*std::min_element(peer_ms.begin(), peer_ms.end())).c_str());
    summary.push_back("summary " + name + ": ms/s " + figure(median(tovo_ms)) +
                      ", tovo/libspatialaudio " + (peer_ready ? figure(median(ratios)) : "-"));
}

} // namespace tovo::bench
