// SPDX-License-Identifier: GPL-3.0-or-later
// The demo as a listener would check it: the render has eight channels of the expected length,
// and each speaker is loudest when the circling source passes it; for headphones, the ear on
// the source's side is the louder one, and a source held in the room crosses from the left ear
// to the right while the head turns from right to left.
#include "support/patch.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

namespace {

namespace fs = std::filesystem;

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
    fs::create_directories(TOVO_SCRATCH_DIR);
    const fs::path previous = fs::current_path();
    fs::current_path(TOVO_SCRATCH_DIR);
    fs::remove("moving-source.wav");
    {
        tovo::testing::Patch patch;
        std::ifstream script(TOVO_DEMO_SCRIPT);
        std::stringstream text;
        text << script.rdbuf();
        patch.run(text.str());
        EXPECT_EQ(patch.errors(), 0);
    } // freeing the patch closes the file

    SF_INFO info{};
    SNDFILE* sf = sf_open("moving-source.wav", SFM_READ, &info);
    fs::current_path(previous);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, SPEAKERS);
    EXPECT_EQ(info.samplerate, RATE);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(SECONDS * RATE));
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);

    // Energy of each channel in windows of 25 ms; the loudest window's middle is when the
    // source was nearest.
    constexpr int WINDOW = RATE / 40;
    std::vector<float> frames(static_cast<std::size_t>(WINDOW) * SPEAKERS);
    std::vector<double> loudest(SPEAKERS, -1), total(SPEAKERS, 0);
    std::vector<double> loudest_at(SPEAKERS, 0);
    for (int w = 0; sf_readf_float(sf, frames.data(), WINDOW) == WINDOW; ++w)
        for (int k = 0; k < SPEAKERS; ++k) {
            double e = 0;
            for (int j = 0; j < WINDOW; ++j)
                e += double(frames[j * SPEAKERS + k]) * frames[j * SPEAKERS + k];
            total[k] += e;
            if (e > loudest[k]) {
                loudest[k] = e;
                loudest_at[k] = (w + 0.5) * WINDOW / double(RATE);
            }
        }
    sf_close(sf);

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
    sf = sf_open((fs::path(TOVO_SCRATCH_DIR) / "moving-source-binaural.wav").c_str(), SFM_READ,
                 &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, RATE);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(SECONDS * RATE));
    std::vector<float> ears(2 * WINDOW);
    int sides = 0;
    for (int w = 0; sf_readf_float(sf, ears.data(), WINDOW) == WINDOW; ++w) {
        double left = 0, right = 0;
        for (int j = 0; j < WINDOW; ++j) {
            left += double(ears[2 * j]) * ears[2 * j];
            right += double(ears[2 * j + 1]) * ears[2 * j + 1];
        }
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
    sf_close(sf);
    EXPECT_GT(sides, 8);
}

TEST(Demo, AHeadTurningLeftHearsTheRoomsSourceCrossToTheRightEar) {
    fs::create_directories(TOVO_SCRATCH_DIR);
    const fs::path previous = fs::current_path();
    fs::current_path(TOVO_SCRATCH_DIR);
    fs::remove("head-tracked-binaural.wav");
    {
        tovo::testing::Patch patch;
        std::ifstream script(TOVO_HEAD_TRACKED_BINAURAL_SCRIPT);
        std::stringstream text;
        text << script.rdbuf();
        patch.run(text.str());
        EXPECT_EQ(patch.errors(), 0);
    }
    SF_INFO info{};
    SNDFILE* sf = sf_open("head-tracked-binaural.wav", SFM_READ, &info);
    fs::current_path(previous);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(info.channels, 2);
    // The difference between the ears in dB over each quarter second: left louder while the head
    // faces right, right louder once it faces left, and falling all the way between.
    constexpr int WINDOW = RATE / 4;
    std::vector<float> ears(2 * WINDOW);
    std::vector<double> difference_db;
    while (sf_readf_float(sf, ears.data(), WINDOW) == WINDOW) {
        double left = 0, right = 0;
        for (int j = 0; j < WINDOW; ++j) {
            left += double(ears[2 * j]) * ears[2 * j];
            right += double(ears[2 * j + 1]) * ears[2 * j + 1];
        }
        difference_db.push_back(10 * std::log10(left / right));
    }
    sf_close(sf);
    ASSERT_EQ(difference_db.size(), 18u); // 4.5 s
    EXPECT_GT(difference_db.front(), 10.0);
    EXPECT_LT(difference_db.back(), -10.0);
    // The yaw ramps for 4 s: the source passes the front halfway, at 2 s.
    EXPECT_LT(std::fabs(difference_db[7] + difference_db[8]), 3.0);
    for (std::size_t i = 4; i + 5 < difference_db.size(); ++i)
        EXPECT_LT(difference_db[i + 1], difference_db[i]) << "quarter " << i;
}

} // namespace
