// SPDX-License-Identifier: GPL-3.0-or-later
// Channel formats and spherical-harmonic weights: the six channel lists, pinned directions, and
// every weight against its trigonometric form on random directions.
#include "ambi/weights.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>

namespace {

using namespace tovo::ambi;

TEST(AmbiFormat, ChannelListsOfAllSixFormats) {
    struct Case {
        int dimension, order, horizontal, height;
        const char* letters;
    };
    const Case cases[] = {
        {2, 1, 3, 0, "WXY"},  {2, 2, 5, 0, "WXYUV"},     {2, 3, 7, 0, "WXYUVPQ"},
        {3, 1, 3, 1, "WXYZ"}, {3, 2, 5, 4, "WXYUVZSTR"}, {3, 3, 7, 9, "WXYUVPQZSTRNOLMK"},
    };
    for (const Case& c : cases) {
        const AmbiFormat f = ambi_format(c.dimension, c.order);
        SCOPED_TRACE(std::to_string(c.dimension) + "-D order " + std::to_string(c.order));
        EXPECT_EQ(f.dimension, c.dimension);
        EXPECT_EQ(f.order, c.order);
        EXPECT_EQ(f.horizontal_count, c.horizontal);
        EXPECT_EQ(f.height_count, c.height);
        EXPECT_EQ(f.channel_count, c.horizontal + c.height);
        EXPECT_EQ(std::string(f.letters, static_cast<std::size_t>(f.channel_count)), c.letters);
    }
}

TEST(AmbiFormat, KeywordsAreExactSpellings) {
    ASSERT_NE(find_format_keyword("3D"), nullptr);
    EXPECT_EQ(find_format_keyword("3D")->dimension, 3);
    EXPECT_EQ(find_format_keyword("2nd-order")->order, 2);
    EXPECT_EQ(find_format_keyword("3rd")->dimension, 0);
    for (const char* word : {"4th", "3Rd", "2-d", "", "1st-Order", "degrees"})
        EXPECT_EQ(find_format_keyword(word), nullptr) << word;
}

// Creation words: a dimension word leaves the order and an order word the dimension; the last
// of each kind counts; any other word is handed back untouched.
TEST(AmbiFormat, FormatWordsKeepTheLastOfEachKind) {
    FormatWords named;
    EXPECT_EQ(named.dimension, 2);
    EXPECT_EQ(named.order, 1);
    for (const char* word : {"3rd-order", "3D", "2nd", "2d", "3d"})
        EXPECT_TRUE(read_format_word(word, named)) << word;
    EXPECT_EQ(named.dimension, 3);
    EXPECT_EQ(named.order, 2);
    for (const char* word : {"inverse", "3Rd", "max-rE", ""})
        EXPECT_FALSE(read_format_word(word, named)) << word;
    EXPECT_EQ(named.dimension, 3);
    EXPECT_EQ(named.order, 2);
}

constexpr float PI_F = std::numbers::pi_v<float>;

struct Weights {
    float w[MAX_CHANNELS];
    explicit Weights(int order, int dimension, float azimuth, float elevation) {
        for (float& v : w)
            v = 42.0f; // marks entries ambi_weights must leave alone
        ambi_weights(order, dimension, azimuth, elevation, w);
    }
    // Entry of the 3-D third-order list by letter.
    float operator[](char letter) const { return w[std::string("WXYUVPQZSTRNOLMK").find(letter)]; }
};

TEST(AmbiWeights, PinnedDirections) {
    const Weights front(3, 3, 0.0f, 0.0f);
    EXPECT_EQ(front['W'], 42.0f); // the caller's own
    for (char c : {'X', 'U', 'P'})
        EXPECT_EQ(front[c], 1.0f) << c;
    for (char c : {'Y', 'V', 'Q', 'Z', 'S', 'T', 'N', 'O', 'M', 'K'})
        EXPECT_EQ(front[c], 0.0f) << c;
    EXPECT_EQ(front['R'], -0.5f);
    EXPECT_FLOAT_EQ(front['L'], -0.72727275f);

    const Weights left(3, 3, PI_F / 2, 0.0f);
    EXPECT_FLOAT_EQ(left['Y'], 1.0f);
    EXPECT_FLOAT_EQ(left['U'], -1.0f);
    EXPECT_FLOAT_EQ(left['Q'], 1.0f); // +1: Q carries -sin 3A
    EXPECT_FLOAT_EQ(left['M'], -0.72727275f);
    for (char c : {'X', 'V', 'P'})
        EXPECT_NEAR(left[c], 0.0f, 1e-6) << c;

    const Weights up(3, 3, 0.0f, PI_F / 2);
    for (char c : {'Z', 'R', 'K'})
        EXPECT_FLOAT_EQ(up[c], 1.0f) << c;
    for (char c : {'X', 'Y', 'U', 'V', 'P', 'Q', 'S', 'T', 'N', 'O', 'L', 'M'})
        EXPECT_NEAR(up[c], 0.0f, 1e-6) << c;

    const Weights raised(3, 3, 0.0f, PI_F / 4);
    EXPECT_NEAR(raised['S'], 1.0f, 1e-6);
    EXPECT_FLOAT_EQ(raised['R'], 0.25f);
    EXPECT_FLOAT_EQ(raised['N'], 0.1767767f);
    EXPECT_FLOAT_EQ(raised['L'], 0.7713891f);
    EXPECT_FLOAT_EQ(raised['K'], -0.1767768f);

    const Weights sixth(3, 3, PI_F / 6, 0.34906585f);
    EXPECT_FLOAT_EQ(sixth['Q'], -0.8297694f);
    EXPECT_NEAR(sixth['P'], 0.0f, 1e-6);
}

TEST(AmbiWeights, TwoDimensionsWriteOnlyTheHorizontalChannels) {
    for (int order = 1; order <= 3; ++order) {
        const Weights flat(order, 2, 0.3f, 0.0f);
        const Weights raised(order, 2, 0.3f, 1.1f);
        const Weights full(order, 3, 0.3f, 1.1f);
        for (int c = 2 * order + 1; c < MAX_CHANNELS; ++c)
            EXPECT_EQ(raised.w[c], 42.0f) << "order " << order << " channel " << c;
        // Elevation still scales the horizontal harmonics, by cos^m E.
        const double cos_e = std::cos(1.1);
        for (int c = 1; c <= 2 * order; ++c) {
            EXPECT_NEAR(raised.w[c], flat.w[c] * std::pow(cos_e, (c + 1) / 2), 1e-6);
            EXPECT_EQ(raised.w[c], full.w[c]); // the 2-D list is a prefix of the 3-D list
        }
    }
}

// Each harmonic in its trigonometric form, in long double from the angles themselves.
void trigonometric(long double a, long double e, long double out[MAX_CHANNELS]) {
    using std::cos, std::sin;
    const long double ce = cos(e), se = sin(e), l = 8.0L / 11.0L;
    const long double values[MAX_CHANNELS] = {
        0,                                   // W, not written
        cos(a) * ce,                         // X
        sin(a) * ce,                         // Y
        cos(2 * a) * ce * ce,                // U
        sin(2 * a) * ce * ce,                // V
        cos(3 * a) * ce * ce * ce,           // P
        -sin(3 * a) * ce * ce * ce,          // Q
        se,                                  // Z
        cos(a) * sin(2 * e),                 // S
        sin(a) * sin(2 * e),                 // T
        (3 * se * se - 1) / 2,               // R
        cos(2 * a) * se * ce * ce / 2,       // N
        sin(2 * a) * se * ce * ce / 2,       // O
        l * cos(a) * ce * (5 * se * se - 1), // L
        l * sin(a) * ce * (5 * se * se - 1), // M
        se * (5 * se * se - 3) / 2,          // K
    };
    for (int c = 0; c < MAX_CHANNELS; ++c)
        out[c] = values[c];
}

TEST(AmbiWeights, AgreeWithTheTrigonometricFormsOnRandomDirections) {
    // Single-precision intermediates cost a few units in the last place of a weight below 2.
    constexpr double TOLERANCE = 2e-6;
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> azimuth(-7.0f, 7.0f);
    std::uniform_real_distribution<float> elevation(-1.6f, 1.6f);
    for (int i = 0; i < 5000; ++i) {
        const float a = azimuth(rng), e = elevation(rng);
        long double expected[MAX_CHANNELS];
        trigonometric(a, e, expected);
        const Weights got(3, 3, a, e);
        for (int c = 1; c < MAX_CHANNELS; ++c)
            ASSERT_NEAR(got.w[c], static_cast<double>(expected[c]), TOLERANCE)
                << "channel " << c << " at azimuth " << a << ", elevation " << e;
        // Lower orders are the same harmonics, fewer of them.
        const Weights second(2, 3, a, e);
        for (int c = 1; c < 9; ++c)
            ASSERT_EQ(second.w[c], got.w[c < 5 ? c : c + 2]);
    }
}

} // namespace
