// SPDX-License-Identifier: GPL-3.0-or-later
// Flavour weights: the preset table against the formulas it was rounded from, the order of every
// channel, and the two routines that fill a decoder's weight arrays.
#include "ambi/flavours.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace tovo::ambi;

double factorial(int n) {
    return n <= 1 ? 1.0 : n * factorial(n - 1);
}

double to_three_decimals(double v) {
    return std::round(v * 1000.0) / 1000.0;
}

// Largest root of the Legendre polynomial of degree n, by bisection above the next largest.
double largest_legendre_root(unsigned n) {
    double lo = 0.5, hi = 1.0; // P_n(1) = 1 > 0, and the largest root of P_2..P_4 lies above 0.5
    for (int i = 0; i < 100; ++i) {
        const double mid = (lo + hi) / 2;
        (std::legendre(n, mid) > 0 ? hi : lo) = mid;
    }
    return lo;
}

TEST(FlavourTable, InPhaseAndMaxReFollowTheirFormulas) {
    for (int M = 1; M <= MAX_ORDER; ++M) {
        const double r = largest_legendre_root(static_cast<unsigned>(M + 1));
        for (int m = 0; m <= MAX_ORDER; ++m) {
            SCOPED_TRACE("M " + std::to_string(M) + " m " + std::to_string(m));
            const double in_phase =
                m > M ? 0.0
                      : factorial(M) * factorial(M + 1) / (factorial(M + m + 1) * factorial(M - m));
            const double max_re = m > M ? 0.0 : std::legendre(static_cast<unsigned>(m), r);
            EXPECT_EQ(FLAVOUR_TABLE[FLAVOUR_IN_PHASE][M - 1][m],
                      static_cast<float>(to_three_decimals(in_phase)));
            EXPECT_EQ(FLAVOUR_TABLE[FLAVOUR_MAX_RE][M - 1][m],
                      static_cast<float>(to_three_decimals(max_re)));
            EXPECT_EQ(FLAVOUR_TABLE[FLAVOUR_NONE][M - 1][m], m > M ? 0.0f : 1.0f);
        }
    }
}

TEST(FlavourTable, DefaultWeights) {
    const float expected[3][4] = {
        {0.707f, 1, 0, 0}, {0.707f, 0.75f, 0.5f, 0}, {0.707f, 0.75f, 0.5f, 0.3f}};
    for (int M = 1; M <= MAX_ORDER; ++M)
        for (int m = 0; m <= MAX_ORDER; ++m)
            EXPECT_EQ(FLAVOUR_TABLE[FLAVOUR_DEFAULT][M - 1][m], expected[M - 1][m]);
}

TEST(ChannelOrder, FollowsTheLettersInEveryFormat) {
    const std::string letters = "WXYUVPQZSTRNOLMK";
    const int orders[] = {0, 1, 1, 2, 2, 3, 3, 1, 2, 2, 2, 3, 3, 3, 3, 3};
    for (int dimension : {2, 3})
        for (int order = 1; order <= 3; ++order) {
            const AmbiFormat f = ambi_format(dimension, order);
            for (int c = 0; c < f.channel_count; ++c)
                EXPECT_EQ(channel_order(f, c), orders[letters.find(f.letters[c])])
                    << dimension << "-D order " << order << " channel " << f.letters[c];
        }
}

// Runs a preset on a decoder's two arrays and returns the channel weights.
struct Arrays {
    float order_weights[4];
    float channel_weights[MAX_CHANNELS];
    Arrays() {
        for (float& w : order_weights)
            w = -1.0f;
        for (float& w : channel_weights)
            w = -1.0f;
    }
    std::vector<float> orders() const { return {order_weights, order_weights + 4}; }
    std::vector<float> channels(int n) const { return {channel_weights, channel_weights + n}; }
};

TEST(DecoderFlavour, EveryPresetAtEveryOrderReachesEachChannel) {
    for (int dimension : {2, 3})
        for (int order = 1; order <= 3; ++order)
            for (int flavour = 0; flavour < FLAVOUR_COUNT; ++flavour) {
                const AmbiFormat f = ambi_format(dimension, order);
                Arrays a;
                decoder_apply_flavour(f, flavour, a.order_weights, a.channel_weights);
                const float* preset = FLAVOUR_TABLE[flavour][order - 1];
                EXPECT_EQ(a.orders(), std::vector<float>(preset, preset + 4));
                for (int c = 0; c < f.channel_count; ++c)
                    EXPECT_EQ(a.channel_weights[c], preset[channel_order(f, c)]);
                for (int c = f.channel_count; c < MAX_CHANNELS; ++c)
                    EXPECT_EQ(a.channel_weights[c], -1.0f); // past the format: untouched
            }
}

TEST(DecoderFlavour, WorkedCases) {
    Arrays in_phase;
    decoder_apply_flavour(ambi_format(3, 3), FLAVOUR_IN_PHASE, in_phase.order_weights,
                          in_phase.channel_weights);
    EXPECT_EQ(in_phase.orders(), (std::vector<float>{1, 0.6f, 0.2f, 0.029f}));
    const float a = 0.6f, b = 0.2f, c = 0.029f;
    EXPECT_EQ(in_phase.channels(16),
              (std::vector<float>{1, a, a, b, b, c, c, a, b, b, b, c, c, c, c, c}));

    Arrays none;
    decoder_apply_flavour(ambi_format(2, 1), FLAVOUR_NONE, none.order_weights,
                          none.channel_weights);
    EXPECT_EQ(none.orders(), (std::vector<float>{1, 1, 0, 0}));

    Arrays max_re;
    decoder_apply_flavour(ambi_format(2, 2), FLAVOUR_MAX_RE, max_re.order_weights,
                          max_re.channel_weights);
    EXPECT_EQ(max_re.orders(), (std::vector<float>{1, 0.775f, 0.4f, 0}));
    EXPECT_EQ(max_re.channels(5), (std::vector<float>{1, 0.775f, 0.775f, 0.4f, 0.4f}));
}

TEST(DecoderFlavour, ChannelWeightsFollowHandSetOrderWeights) {
    const AmbiFormat f = ambi_format(3, 2);
    Arrays a;
    const float set[4] = {0.25f, 2.0f, -3.0f, 7.0f};
    decoder_update_channel_weights(f, set, a.channel_weights);
    EXPECT_EQ(a.channels(9), (std::vector<float>{0.25f, 2, 2, -3, -3, 2, -3, -3, -3}));
    EXPECT_EQ(a.channel_weights[9], -1.0f);
}

// Each decoder's own list of words: an exact spelling sets the flavour, anything else leaves it.
TEST(DecoderFlavour, WordsAreLookedUpInTheDecodersOwnList) {
    constexpr FlavourWord words[] = {{"basic", FLAVOUR_NONE}, {"max-rE", FLAVOUR_MAX_RE}};
    std::int32_t flavour = FLAVOUR_DEFAULT;
    EXPECT_TRUE(read_flavour_word(words, "basic", flavour));
    EXPECT_EQ(flavour, FLAVOUR_NONE);
    EXPECT_TRUE(read_flavour_word(words, "max-rE", flavour));
    EXPECT_EQ(flavour, FLAVOUR_MAX_RE);
    for (const char* word : {"Max-RE", "in-phase", "3d", ""})
        EXPECT_FALSE(read_flavour_word(words, word, flavour)) << word;
    EXPECT_EQ(flavour, FLAVOUR_MAX_RE);
}

} // namespace
