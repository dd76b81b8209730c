// SPDX-License-Identifier: GPL-3.0-or-later
// An encoder feeding a decoder through the host, channel for channel: every speaker's feed is the
// decoding law applied to the encoded source, and a source placed at a speaker is loudest there.
#include "ambi/weights.hpp"

#include "ambi_patch.hpp"
#include "decoding_law.hpp"
#include <tovo/angles.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace tovo::testing;

// sig~ SOURCE -> encoder -> decoder -> print~ per speaker (sK); the encoder's outlets are
// printed too (eC), so the law is checked on the channels the decoder actually received.
struct Chain {
    Chain(const std::string& encoder_args, const std::string& decoder_args, float source) {
        patch.run("vectorsize 4\nnew src sig~ " + float_text(source) +
                  "\nnew e tovo.ambi.encode~ " + encoder_args + "\nnew d tovo.ambi.decode~ " +
                  decoder_args + "\nconnect src 0 e 0");
        channels = patch.outlets("e");
        speakers = patch.outlets("d");
        std::string cords;
        for (int c = 0; c < channels; ++c)
            cords += "connect e " + std::to_string(c) + " d " + std::to_string(c) + "\n";
        patch.run(cords + print_each_outlet("e", channels, "e") +
                  print_each_outlet("d", speakers, "s"));
    }
    void run() {
        const auto lines = patch.run("dsp 1");
        encoded = vectors_of(lines, "e", channels);
        feeds = vectors_of(lines, "s", speakers);
    }

    Patch patch;
    int channels = 0, speakers = 0;
    std::vector<std::vector<float>> encoded, feeds;
};

TEST(AmbiChain, EverySpeakerFollowsTheLaw) {
    Chain chain("3d 3rd degrees", "3d 3rd 16 max-rE", 0.8f);
    EXPECT_EQ(chain.channels, 16);
    chain.patch.run("send e azimuth 35.\nsend e elevation 20.\nsend d gain 0.9\n"
                    "send d width 0.7\nsend d speaker 3 10 40\nsend d speaker_radians 9 -2. -1.");
    ASSERT_EQ(chain.patch.errors(), 0);
    chain.run();

    // The encoder's channels: the source under the harmonics of its direction, W at 1/sqrt(2).
    float weights[16];
    weights[0] = 0.70710677f;
    tovo::ambi::ambi_weights(3, 3, static_cast<float>(35.0f * tovo::DEGREE_FACTOR),
                             static_cast<float>(20.0f * tovo::DEGREE_FACTOR), weights);
    for (int c = 0; c < 16; ++c)
        for (float x : chain.encoded[c])
            ASSERT_EQ(x, 0.0f + weights[c] * 0.8f) << "channel " << c;

    // The decoder's view: the default ring of 16 with two speakers moved.
    const float m[4] = {1.0f, 0.861f, 0.612f, 0.305f};
    const int order_of[16] = {0, 1, 1, 2, 2, 3, 3, 1, 2, 2, 2, 3, 3, 3, 3, 3};
    DecoderSettings s{16, 0.9f, 0.7f, {}};
    for (int c = 0; c < 16; ++c)
        s.channel_weights.push_back(m[order_of[c]]);
    for (int k = 0; k < 16; ++k) {
        float azimuth = static_cast<float>((k - 0.5) * 2.0 * 3.14159265359 / 16), elevation = 0;
        if (k == 3) {
            azimuth = static_cast<float>(10.0 * tovo::DEGREE_FACTOR);
            elevation = static_cast<float>(40.0 * tovo::DEGREE_FACTOR);
        } else if (k == 9) {
            azimuth = -2.0f;
            elevation = -1.0f;
        }
        float row[16] = {};
        tovo::ambi::ambi_weights(3, 3, azimuth, elevation, row);
        ASSERT_EQ(chain.feeds[k].size(), 4u);
        for (std::size_t j = 0; j < 4; ++j)
            EXPECT_EQ(chain.feeds[k][j], law_sample(s, row, chain.encoded, j)) << "speaker " << k;
    }
}

TEST(AmbiChain, ASourceAtASpeakerIsLoudestThere) {
    Chain chain("2d 3rd degrees", "2d 3rd 8 max-rE", 1.0f);
    chain.patch.run("send d width 1.");
    for (int target = 0; target < 8; ++target) {
        const float azimuth = -22.5f + 45.0f * static_cast<float>(target);
        chain.patch.run("send e azimuth " + float_text(azimuth));
        chain.run();
        std::vector<float> level;
        for (const auto& feed : chain.feeds)
            level.push_back(std::fabs(feed.at(0)));
        EXPECT_EQ(std::max_element(level.begin(), level.end()) - level.begin(), target)
            << "source at " << azimuth;
        // Neighbours on either side hear it equally.
        EXPECT_NEAR(level[(target + 1) % 8], level[(target + 7) % 8], 1e-5);
    }
}

} // namespace
