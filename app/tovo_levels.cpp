// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-levels: each channel of a sound file as a bar, for a quick look at a render.
//   tovo-levels FILE [LABEL]
// Prints one line per channel: its RMS level in dB, a bar scaled to the loudest channel, and the
// time at which the channel is loudest (over 50 ms windows); then each channel's level over
// time as a strip of shades, so a moving source shows as a band walking across the channels.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const bool help =
        argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    if (help || argc < 2 || argc > 3) {
        std::fprintf(help ? stdout : stderr,
                     "usage: tovo-levels FILE [LABEL]\n"
                     "  each channel of the sound file FILE as a bar: its RMS level, and when it "
                     "is loudest\n");
        return help ? 0 : 2;
    }
    const std::string label = argc > 2 ? argv[2] : "channel";
    SF_INFO info{};
    SNDFILE* sf = sf_open(argv[1], SFM_READ, &info);
    if (!sf) {
        std::fprintf(stderr, "tovo-levels: can't open %s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    const int channels = info.channels;
    const long window = std::max(1L, static_cast<long>(info.samplerate / 20));
    std::vector<double> energy(channels, 0.0), window_energy(channels, 0.0),
        loudest(channels, -1.0);
    std::vector<long> loudest_at(channels, 0);
    std::vector<std::vector<double>> windows(channels); // energy of each 50 ms window
    std::vector<float> frames(static_cast<std::size_t>(window) * channels);
    long position = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(sf, frames.data(), window);
        if (got <= 0)
            break;
        std::fill(window_energy.begin(), window_energy.end(), 0.0);
        for (sf_count_t f = 0; f < got; ++f)
            for (int c = 0; c < channels; ++c) {
                const double v = frames[static_cast<std::size_t>(f) * channels + c];
                window_energy[c] += v * v;
            }
        for (int c = 0; c < channels; ++c) {
            energy[c] += window_energy[c];
            windows[c].push_back(window_energy[c]);
            if (window_energy[c] > loudest[c]) {
                loudest[c] = window_energy[c];
                loudest_at[c] = position;
            }
        }
        position += static_cast<long>(got);
    }
    sf_close(sf);

    std::printf("%s: %d channels, %.2f s at %d Hz\n", argv[1], channels,
                static_cast<double>(info.frames) / info.samplerate, info.samplerate);
    double top = 0;
    std::vector<double> rms(channels);
    for (int c = 0; c < channels; ++c) {
        rms[c] = info.frames > 0 ? std::sqrt(energy[c] / static_cast<double>(info.frames)) : 0.0;
        top = std::max(top, rms[c]);
    }
    constexpr int WIDTH = 40;
    for (int c = 0; c < channels; ++c) {
        const double db = rms[c] > 0 ? 20 * std::log10(rms[c]) : -INFINITY;
        const int bar = top > 0 ? static_cast<int>(std::lround(WIDTH * rms[c] / top)) : 0;
        std::printf("%s %2d %7.1f dB  %s%s  loudest at %.2f s\n", label.c_str(), c, db,
                    std::string(static_cast<std::size_t>(bar), '#').c_str(),
                    std::string(static_cast<std::size_t>(WIDTH - bar), '.').c_str(),
                    static_cast<double>(loudest_at[c]) / info.samplerate);
    }

    // The strips: up to 64 columns over the whole file, shaded by level below the loudest column
    // of any channel, 6 dB a step.
    const std::size_t count = windows.empty() ? 0 : windows[0].size();
    const std::size_t columns = std::min<std::size_t>(64, count);
    if (columns == 0)
        return 0;
    std::vector<std::vector<double>> strip(channels, std::vector<double>(columns, 0.0));
    double peak = 0;
    for (int c = 0; c < channels; ++c) {
        for (std::size_t w = 0; w < count; ++w)
            strip[c][w * columns / count] += windows[c][w];
        for (double e : strip[c])
            peak = std::max(peak, e);
    }
    const std::string shades = "@%#*+=-:. ";
    std::printf("level over time, %.3g s a column, darker is louder (6 dB a step):\n",
                static_cast<double>(info.frames) / info.samplerate / static_cast<double>(columns));
    for (int c = 0; c < channels; ++c) {
        std::string row;
        for (double e : strip[c]) {
            const double below = e > 0 && peak > 0 ? -10 * std::log10(e / peak) : 1e9;
            row += shades[std::min<std::size_t>(shades.size() - 1,
                                                static_cast<std::size_t>(below / 6.0))];
        }
        std::printf("%s %2d |%s|\n", label.c_str(), c, row.c_str());
    }
    return 0;
}
