// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-levels: each channel of a sound file as a bar, for a quick look at a render.
//   tovo-levels FILE [LABEL]
//   tovo-levels --ears FILE
// Prints one line per channel: its RMS level in dB, a bar scaled to the loudest channel, and the
// time at which the channel is loudest (over 50 ms windows); then each channel's level over
// time as a strip of shades, so a moving source shows as a band walking across the channels.
// With --ears, the file is a headphone render (left, right): the two ears are named, and the
// difference in level between them is drawn over time, so a source is seen moving from ear to
// ear.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const bool help =
        argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    const bool ears = argc > 1 && std::strcmp(argv[1], "--ears") == 0;
    if (help || argc < 2 || argc > 3 || (ears && argc != 3)) {
        std::fprintf(help ? stdout : stderr,
                     "usage: tovo-levels FILE [LABEL]\n"
                     "       tovo-levels --ears FILE\n"
                     "  each channel of the sound file FILE as a bar: its RMS level, and when it "
                     "is loudest; with --ears, a headphone render's two ears and the difference "
                     "between them over time\n");
        return help ? 0 : 2;
    }
    const char* path = ears ? argv[2] : argv[1];
    const std::string label = !ears && argc > 2 ? argv[2] : "channel";
    SF_INFO info{};
    SNDFILE* sf = sf_open(path, SFM_READ, &info);
    if (!sf) {
        std::fprintf(stderr, "tovo-levels: can't open %s: %s\n", path, sf_strerror(nullptr));
        return 1;
    }
    const int channels = info.channels;
    if (ears && channels != 2) {
        std::fprintf(stderr, "tovo-levels: %s has %d channels, not the two of a headphone render\n",
                     path, channels);
        sf_close(sf);
        return 1;
    }
    // "channel  3", or the ear's name.
    auto name = [&](int c) {
        if (ears)
            return std::string(c == 0 ? "left " : "right");
        char text[64];
        std::snprintf(text, sizeof text, "%s %2d", label.c_str(), c);
        return std::string(text);
    };
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

    std::printf("%s: %d channels, %.2f s at %d Hz\n", path, channels,
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
        std::printf("%s %7.1f dB  %s%s  loudest at %.2f s\n", name(c).c_str(), db,
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
        std::printf("%s |%s|\n", name(c).c_str(), row.c_str());
    }
    if (!ears)
        return 0;

    // The difference between the ears, a row per step of time: a mark left of the middle when
    // the left ear is louder, 1 dB a column, up to 30 dB either way.
    constexpr int REACH_DB = 30;
    const std::size_t rows = std::min<std::size_t>(48, count);
    std::vector<double> left(rows, 0.0), right(rows, 0.0);
    for (std::size_t w = 0; w < count; ++w) {
        left[w * rows / count] += windows[0][w];
        right[w * rows / count] += windows[1][w];
    }
    const double seconds = static_cast<double>(info.frames) / info.samplerate;
    std::printf("difference between the ears over time, %.3g s a row:\n",
                seconds / static_cast<double>(rows));
    std::printf("%9s %*s|%-*s\n", "", REACH_DB, "left ear louder", REACH_DB, "right ear louder");
    for (std::size_t r = 0; r < rows; ++r) {
        std::string scale(2 * REACH_DB + 1, ' ');
        scale[REACH_DB] = '|';
        char value[32] = "silent";
        if (left[r] > 0 && right[r] > 0) {
            const double db = 10 * std::log10(left[r] / right[r]);
            const long at = std::lround(std::clamp(db, -1.0 * REACH_DB, 1.0 * REACH_DB));
            scale[static_cast<std::size_t>(REACH_DB - at)] = '*';
            std::snprintf(value, sizeof value, "%+5.1f dB", db);
        }
        std::printf("%7.2f s %s %s\n", seconds * static_cast<double>(r) / static_cast<double>(rows),
                    scale.c_str(), value);
    }
    return 0;
}
