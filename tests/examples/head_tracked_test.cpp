// SPDX-License-Identifier: GPL-3.0-or-later
// The head-tracking example as a listener would check it: while the head turns left, the source
// held still in the room moves to the right across the ring of speakers, by the head's turn.
#include "render.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

using namespace tovo::testing;

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
    const Sound render =
        render_example(TOVO_HEAD_TRACKED_SCRIPT, TOVO_SCRATCH_DIR, "head-tracked.wav");
    ASSERT_EQ(render.info.channels, SPEAKERS);
    EXPECT_EQ(render.info.frames, static_cast<sf_count_t>(SECONDS * RATE));

    // In windows of 20 ms, one step of the line: the energy-weighted direction of the speakers,
    // and the loudest speaker.
    constexpr int WINDOW = RATE / 50;
    const auto energies = window_energies(render, WINDOW);
    std::vector<int> loudest;
    double worst = 0;
    for (std::size_t w = 0; w < energies.size(); ++w) {
        double east = 0, north = 0, most = -1;
        int top = 0;
        for (int k = 0; k < SPEAKERS; ++k) {
            const double e = energies[w][k];
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
    EXPECT_LT(worst, DIRECTION_TOL_DEG);
    // From the front pair to the pair on the right.
    EXPECT_TRUE(loudest.front() == 0 || loudest.front() == 1) << loudest.front();
    EXPECT_TRUE(loudest.back() == 6 || loudest.back() == 7) << loudest.back();
}

} // namespace
