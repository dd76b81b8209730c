// SPDX-License-Identifier: GPL-3.0-or-later
// The figures behind tovo-plot's picture, held against the tests' own evaluation of encoding
// and decoding: harmonics from their trigonometric forms, flavour weights as decimals, the law
// summed in double precision, and the energy vector from those gains.
#include "app/decoder_probe.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

namespace {

using tovo::app::DecoderResponse;
using tovo::app::Speaker;

constexpr double DEG = M_PI / 180.0;
constexpr int STEPS = 72; // every 5 degrees

// Spherical harmonics of a direction in channel order W X Y U V P Q (then Z S T R N O L M K in
// 3-D), without W, which both sides weigh on their own.
std::vector<double> harmonics(int order, int dimension, double az, double el) {
    const double ca = std::cos(az), sa = std::sin(az), ce = std::cos(el), se = std::sin(el);
    std::vector<double> h{0.0, ca * ce, sa * ce};
    if (order >= 2)
        h.insert(h.end(), {std::cos(2 * az) * ce * ce, std::sin(2 * az) * ce * ce});
    if (order >= 3)
        h.insert(h.end(), {std::cos(3 * az) * ce * ce * ce, -std::sin(3 * az) * ce * ce * ce});
    if (dimension == 3) {
        h.push_back(se);
        if (order >= 2)
            h.insert(h.end(),
                     {ca * std::sin(2 * el), sa * std::sin(2 * el), (3 * se * se - 1) / 2});
        if (order >= 3)
            h.insert(h.end(),
                     {0.5 * std::cos(2 * az) * se * ce * ce, 0.5 * std::sin(2 * az) * se * ce * ce,
                      8.0 / 11 * ca * ce * (5 * se * se - 1),
                      8.0 / 11 * sa * ce * (5 * se * se - 1), 0.5 * se * (5 * se * se - 3)});
    }
    return h;
}

std::vector<int> channel_orders(int order, int dimension) {
    std::vector<int> o{0, 1, 1, 2, 2, 3, 3};
    o.resize(2 * order + 1);
    if (dimension == 3) {
        const std::vector<int> height{1, 2, 2, 2, 3, 3, 3, 3, 3};
        o.insert(o.end(), height.begin(), height.begin() + order * order);
    }
    return o;
}

struct Setting {
    std::string words;
    std::vector<std::string> messages;
    int order, dimension;
    std::array<double, 4> order_weights;
    double gain, width;
    std::vector<Speaker> speakers; // as the messages and defaults place them
};

std::vector<Speaker> ring(int n) {
    std::vector<Speaker> s;
    for (int k = 0; k < n; ++k)
        s.push_back({(k - 0.5) * 360.0 / n, 0.0});
    return s;
}

// Speaker gains for a source at azimuth az (elevation 0), by the decoding law.
std::vector<double> law(const Setting& s, double az) {
    const std::vector<double> source = harmonics(s.order, s.dimension, az * DEG, 0.0);
    const std::vector<int> orders = channel_orders(s.order, s.dimension);
    std::vector<double> gains;
    for (const Speaker& sp : s.speakers) {
        const std::vector<double> row =
            harmonics(s.order, s.dimension, sp.azimuth_deg * DEG, sp.elevation_deg * DEG);
        double g = s.gain * (1 - s.width) * s.order_weights[0] * M_SQRT1_2;
        for (std::size_t c = 1; c < source.size(); ++c)
            g += s.gain * s.width * row[c] * s.order_weights[orders[c]] * source[c];
        gains.push_back(g);
    }
    return gains;
}

// |rE| and its angle from the source, in the tests' own words.
std::pair<double, double> energy(const std::vector<double>& g, const std::vector<Speaker>& sp,
                                 double az) {
    double x = 0, y = 0, z = 0, sum = 0;
    for (std::size_t k = 0; k < g.size(); ++k) {
        const double e = g[k] * g[k];
        x += e * std::cos(sp[k].azimuth_deg * DEG) * std::cos(sp[k].elevation_deg * DEG);
        y += e * std::sin(sp[k].azimuth_deg * DEG) * std::cos(sp[k].elevation_deg * DEG);
        z += e * std::sin(sp[k].elevation_deg * DEG);
        sum += e;
    }
    const double m = std::hypot(x, y, z) / sum;
    const double direction = std::atan2(y, x) / DEG;
    double error = std::fabs(std::remainder(direction - az, 360.0));
    error = std::hypot(error, std::atan2(z, std::hypot(x, y)) / DEG);
    return {m, error};
}

// Test names from the decoder's creation words: "3d 3rd 8 max-rE" gives 3d_3rd_8_max_rE.
std::string name_of(const ::testing::TestParamInfo<Setting>& info) {
    std::string name;
    for (char c : info.param.words)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name + "_" + std::to_string(info.index);
}

void PrintTo(const Setting& s, std::ostream* out) {
    *out << "decoder " << s.words;
}

class DecoderProbe : public ::testing::TestWithParam<Setting> {};

TEST_P(DecoderProbe, GainsAndEnergyVectorFollowTheDecodingLaw) {
    const Setting& s = GetParam();
    const DecoderResponse r =
        tovo::app::probe_decoder(TOVO_EXTERNALS_DIR, s.words, s.messages, STEPS);
    ASSERT_TRUE(r.problem.empty()) << r.problem;
    ASSERT_EQ(r.speakers.size(), s.speakers.size());
    EXPECT_EQ(r.order, s.order);
    EXPECT_EQ(r.dimension, s.dimension);
    ASSERT_EQ(r.gains.size(), static_cast<std::size_t>(STEPS));
    for (int i = 0; i < STEPS; ++i) {
        const double az = 360.0 * i / STEPS;
        ASSERT_DOUBLE_EQ(r.source_azimuth_deg[i], az);
        const std::vector<double> expected = law(s, az);
        for (std::size_t k = 0; k < expected.size(); ++k)
            EXPECT_NEAR(r.gains[i][k], expected[k], 2e-5) << "azimuth " << az << " speaker " << k;
        const auto [magnitude, error] = energy(expected, s.speakers, az);
        const auto e = tovo::app::energy_vector(r.gains[i], r.speakers, az, 0.0);
        EXPECT_NEAR(e.magnitude, magnitude, 1e-4) << "azimuth " << az;
        if (magnitude > 0.05) { // the direction of a vanishing vector means nothing
            EXPECT_NEAR(e.error_deg, error, 0.05) << "azimuth " << az;
        }
    }
}

const std::vector<Speaker> FIVE{{-30, 0}, {30, 0}, {0, 0}, {-110, 0}, {110, 0}};
const std::vector<Speaker> CUBE{{45, 35},  {135, 35},  {-135, 35},  {-45, 35},
                                {45, -35}, {135, -35}, {-135, -35}, {-45, -35}};

std::vector<std::string> place(const std::vector<Speaker>& speakers) {
    std::vector<std::string> m;
    for (std::size_t k = 0; k < speakers.size(); ++k)
        m.push_back("speaker " + std::to_string(k) + " " + std::to_string(speakers[k].azimuth_deg) +
                    " " + std::to_string(speakers[k].elevation_deg));
    return m;
}

std::vector<std::string> with(std::vector<std::string> m, const std::string& extra) {
    m.push_back(extra);
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Flavours, DecoderProbe,
    ::testing::Values(
        Setting{"3d 3rd 8 max-rE", {}, 3, 3, {1, 0.861, 0.612, 0.305}, 1, 0.5, ring(8)},
        Setting{"2d 2nd 5 max-rE", place(FIVE), 2, 2, {1, 0.775, 0.4, 0}, 1, 0.5, FIVE},
        Setting{"2d 1st 4 in-phase", {"width 0.7"}, 1, 2, {1, 0.333, 0, 0}, 1, 0.7, ring(4)},
        Setting{
            "2d 3rd 7", {"gain 0.25", "width 1"}, 3, 2, {0.707, 0.75, 0.5, 0.3}, 0.25, 1, ring(7)},
        Setting{"3d 1st 8 none", with(place(CUBE), "width 0.3"), 1, 3, {1, 1, 0, 0}, 1, 0.3, CUBE},
        Setting{"3d 2nd 9",
                {"weights 0.9 0.6 0.2", "gain -1"},
                2,
                3,
                {0.9, 0.6, 0.2, 0},
                -1,
                0.5,
                ring(9)}),
    name_of);

} // namespace
