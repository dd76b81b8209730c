// SPDX-License-Identifier: GPL-3.0-or-later
// The head-tracking example as a listener would check it: while the head turns left, the source
// held still in the room moves to the right across the ring of speakers, by the head's turn.
#include "support/patch.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int SPEAKERS = 8;
constexpr int RATE = 48000;
constexpr double SECONDS = 2.5;
constexpr double TURN_DEG = 90.0;  // the head's yaw at the end of the line
constexpr double TURN_SECONDS = 2; // how long the line takes
// The energy-weighted direction of the speakers against where the source should be heard. The
// windows line up with the line's steps of 0.9 degrees; only the first vector of each, where the
// rotator ramps to the new step, is in between.
constexpr double DIRECTION_TOL_DEG = 0.25;

TEST(HeadTracked, TheSourceMovesRightAsTheHeadTurnsLeft) {
    fs::create_directories(TOVO_SCRATCH_DIR);
    const fs::path previous = fs::current_path();
    fs::current_path(TOVO_SCRATCH_DIR);
    fs::remove("head-tracked.wav");
    {
        tovo::testing::Patch patch;
        std::ifstream script(TOVO_HEAD_TRACKED_SCRIPT);
        std::stringstream text;
        text << script.rdbuf();
        patch.run(text.str());
        EXPECT_EQ(patch.errors(), 0);
    } // freeing the patch closes the file

    SF_INFO info{};
    SNDFILE* sf = sf_open("head-tracked.wav", SFM_READ, &info);
    fs::current_path(previous);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(info.channels, SPEAKERS);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(SECONDS * RATE));

    // In windows of 20 ms, one step of the line: the energy-weighted direction of the speakers,
    // and the loudest speaker.
    constexpr int WINDOW = RATE / 50;
    std::vector<float> frames(static_cast<std::size_t>(WINDOW) * SPEAKERS);
    std::vector<int> loudest;
    double worst = 0;
    for (int w = 0; sf_readf_float(sf, frames.data(), WINDOW) == WINDOW; ++w) {
        double east = 0, north = 0, most = -1;
        int top = 0;
        for (int k = 0; k < SPEAKERS; ++k) {
            double e = 0;
            for (int j = 0; j < WINDOW; ++j)
                e += double(frames[j * SPEAKERS + k]) * frames[j * SPEAKERS + k];
            const double speaker_rad = (k - 0.5) * 2 * std::numbers::pi / SPEAKERS;
            north += e * std::cos(speaker_rad);
            east += e * std::sin(speaker_rad);
            if (e > most) {
                most = e;
                top = k;
            }
        }
        loudest.push_back(top);
        // The head's yaw during the window, as the line's last step before its end set it.
        const double t = w * WINDOW / double(RATE);
        const double yaw =
            TURN_DEG * std::min(1.0, std::floor(t / 0.02 + 1e-9) * 0.02 / TURN_SECONDS);
        const double heard_deg = std::atan2(east, north) * 180 / std::numbers::pi;
        worst = std::max(worst, std::fabs(heard_deg + yaw));
    }
    sf_close(sf);
    EXPECT_LT(worst, DIRECTION_TOL_DEG);
    // From the front pair to the pair on the right.
    EXPECT_TRUE(loudest.front() == 0 || loudest.front() == 1) << loudest.front();
    EXPECT_TRUE(loudest.back() == 6 || loudest.back() == 7) << loudest.back();
}

} // namespace
