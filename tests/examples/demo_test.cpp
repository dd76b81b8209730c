// SPDX-License-Identifier: GPL-3.0-or-later
// The demo as a listener would check it: the render has eight channels of the expected length,
// and each speaker is loudest when the circling source passes it; for headphones, the ear on
// the source's side is the louder one, and a source held in the room crosses from the left ear
// to the right while the head turns from right to left.
#include "render.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <vector>

namespace {

using namespace tovo::testing;

constexpr int SPEAKERS = 8;
constexpr int RATE = 48000;
constexpr double SECONDS = 4.8;
constexpr double DEGREES_PER_SECOND = 150.0; // 3 degrees every 20 ms, as the patch turns
constexpr double FIRST_STEP_DEG = 3.0;       // the metro's first bang turns at once

// Angle between two azimuths in degrees, 0 to 180.
double apart(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

TEST(Demo, EachSpeakerIsLoudestWhenTheSourcePassesIt) {
    const Sound render = render_example(TOVO_DEMO_SCRIPT, TOVO_SCRATCH_DIR, "moving-source.wav");
    ASSERT_EQ(render.info.channels, SPEAKERS);
    EXPECT_EQ(render.info.samplerate, RATE);
    EXPECT_EQ(render.info.frames, static_cast<sf_count_t>(SECONDS * RATE));
    EXPECT_EQ(render.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);

    // Energy of each channel in windows of 25 ms; the loudest window's middle is when the
    // source was nearest.
    constexpr int WINDOW = RATE / 40;
    const auto energies = window_energies(render, WINDOW);
    std::vector<double> loudest(SPEAKERS, -1), total(SPEAKERS, 0);
    std::vector<double> loudest_at(SPEAKERS, 0);
    for (std::size_t w = 0; w < energies.size(); ++w)
        for (int k = 0; k < SPEAKERS; ++k) {
            const double e = energies[w][k];
            total[k] += e;
            if (e > loudest[k]) {
                loudest[k] = e;
                loudest_at[k] = (w + 0.5) * WINDOW / double(RATE);
            }
        }

    for (int k = 0; k < SPEAKERS; ++k) {
        const double speaker_deg = (k - 0.5) * 360.0 / SPEAKERS; // the decoder's default ring
        const double source_deg = FIRST_STEP_DEG + DEGREES_PER_SECOND * loudest_at[k];
        EXPECT_LT(apart(source_deg, speaker_deg), 10.0)
            << "speaker " << k << " loudest at " << loudest_at[k] << " s";
        // Two whole circles: every speaker gets the same share.
        EXPECT_NEAR(10 * std::log10(total[k] / total[0]), 0.0, 0.5) << "speaker " << k;
    }

    // For headphones: the ear nearer the source is the louder one, by several dB when the
    // source is at the side, and neither when it is in front or behind.
    const Sound ears =
        read_sound(std::filesystem::path(TOVO_SCRATCH_DIR) / "moving-source-binaural.wav");
    ASSERT_EQ(ears.info.channels, 2);
    EXPECT_EQ(ears.info.samplerate, RATE);
    EXPECT_EQ(ears.info.frames, static_cast<sf_count_t>(SECONDS * RATE));
    const auto ear_energies = window_energies(ears, WINDOW);
    int sides = 0;
    for (std::size_t w = 0; w < ear_energies.size(); ++w) {
        const double left = ear_energies[w][0], right = ear_energies[w][1];
        const double difference_db = 10 * std::log10(left / right);
        const double source_deg = FIRST_STEP_DEG + DEGREES_PER_SECOND * (w + 0.5) * WINDOW / RATE;
        const double side = std::sin(source_deg * std::numbers::pi / 180); // 1 at the left
        if (std::fabs(side) > 0.95) {
            ++sides;
            EXPECT_GT(difference_db * side, 6.0) << "at " << source_deg << " degrees";
        } else if (std::fabs(side) < 0.05) {
            EXPECT_LT(std::fabs(difference_db), 3.0) << "at " << source_deg << " degrees";
        }
    }
    EXPECT_GT(sides, 8);
}

TEST(Demo, AHeadTurningLeftHearsTheRoomsSourceCrossToTheRightEar) {
    const Sound ears = render_example(TOVO_HEAD_TRACKED_BINAURAL_SCRIPT, TOVO_SCRATCH_DIR,
                                      "head-tracked-binaural.wav");
    ASSERT_EQ(ears.info.channels, 2);
    // The difference between the ears in dB over each quarter second: left louder while the head
    // faces right, right louder once it faces left, and falling all the way between.
    constexpr int WINDOW = RATE / 4;
    std::vector<double> difference_db;
    for (const std::vector<double>& e : window_energies(ears, WINDOW))
        difference_db.push_back(10 * std::log10(e[0] / e[1]));
    ASSERT_EQ(difference_db.size(), 18u); // 4.5 s
    EXPECT_GT(difference_db.front(), 10.0);
    EXPECT_LT(difference_db.back(), -10.0);
    // The yaw ramps for 4 s: the source passes the front halfway, at 2 s.
    EXPECT_LT(std::fabs(difference_db[7] + difference_db[8]), 3.0);
    for (std::size_t i = 4; i + 5 < difference_db.size(); ++i)
        EXPECT_LT(difference_db[i + 1], difference_db[i]) << "quarter " << i;
}

} // namespace
