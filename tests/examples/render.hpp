// SPDX-License-Identifier: GPL-3.0-or-later
// An example patch rendered in a test, and the sound files it writes read back: the frames of a
// file whole, and each channel's energy in windows, from which a test finds when a speaker is
// loudest or which ear is louder.
#pragma once

#include "support/patch.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tovo::testing {

// A sound file read whole: its header, and its frames with the channels interleaved.
struct Sound {
    SF_INFO info{};
    std::vector<float> samples;
};

// The sound file at `path`, read whole. One that does not open fails the test and has no frames.
inline Sound read_sound(const std::filesystem::path& path) {
    Sound s;
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &s.info);
    if (!sf) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        s.info = SF_INFO{};
        return s;
    }
    s.samples.resize(static_cast<std::size_t>(s.info.frames * s.info.channels));
    const sf_count_t read = sf_readf_float(sf, s.samples.data(), s.info.frames);
    s.samples.resize(static_cast<std::size_t>(read * s.info.channels));
    sf_close(sf);
    return s;
}

// Runs the example `script` as a patch in the folder `scratch`, where it writes its files, and
// reads back `file`, which it must write afresh there. An error line fails the test.
inline Sound render_example(const std::string& script, const std::filesystem::path& scratch,
                            const std::string& file) {
    namespace fs = std::filesystem;
    fs::create_directories(scratch);
    const fs::path previous = fs::current_path();
    fs::current_path(scratch);
    fs::remove(file);
    {
        Patch patch;
        std::ifstream in(script);
        std::stringstream text;
        text << in.rdbuf();
        patch.run(text.str());
        EXPECT_EQ(patch.errors(), 0);
    } // freeing the patch closes the file
    fs::current_path(previous);
    return read_sound(scratch / file);
}

// The energy of each channel in each whole window of `window` frames, [window][channel]: the sum
// of the squares of its samples, in double.
inline std::vector<std::vector<double>> window_energies(const Sound& s, int window) {
    const int channels = s.info.channels;
    const long windows = channels ? static_cast<long>(s.samples.size()) / channels / window : 0;
    std::vector<std::vector<double>> energies(static_cast<std::size_t>(windows),
                                              std::vector<double>(channels, 0.0));
    for (long w = 0; w < windows; ++w) {
        const float* frames = s.samples.data() + w * window * channels;
        for (int k = 0; k < channels; ++k) {
            double e = 0;
            for (int j = 0; j < window; ++j)
                e += double(frames[j * channels + k]) * frames[j * channels + k];
            energies[static_cast<std::size_t>(w)][static_cast<std::size_t>(k)] = e;
        }
    }
    return energies;
}

} // namespace tovo::testing
