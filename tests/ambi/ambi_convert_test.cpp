// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.convert~ in a patch behind the encoder: what leaves it is the real spherical
// harmonics of the source's direction in the convention asked for, computed here on their own
// (SN3D and N3D from the associated Legendre functions, FuMa from its definitions).
#include "ambi_patch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tovo::testing;
using Lines = std::vector<std::string>;

// Real SN3D harmonic of degree n and index m (-n..n), without the Condon-Shortley phase:
// std::assoc_legendre leaves that phase out.
double sn3d(int n, int m, double azimuth, double elevation) {
    const int a = std::abs(m);
    const double norm =
        std::sqrt((a == 0 ? 1.0 : 2.0) * std::tgamma(n - a + 1) / std::tgamma(n + a + 1));
    const double legendre = std::assoc_legendre(n, a, std::sin(elevation));
    return norm * legendre * (m >= 0 ? std::cos(a * azimuth) : std::sin(a * azimuth));
}

// FuMa's channels by letter: each scaled so that its largest value over the sphere is 1.
double fuma(char letter, double az, double el) {
    const double c = std::cos(el), s = std::sin(el);
    switch (letter) {
    case 'W':
        return 1.0 / std::sqrt(2.0);
    case 'X':
        return std::cos(az) * c;
    case 'Y':
        return std::sin(az) * c;
    case 'Z':
        return s;
    case 'R':
        return 1.5 * s * s - 0.5;
    case 'S':
        return std::cos(az) * std::sin(2 * el);
    case 'T':
        return std::sin(az) * std::sin(2 * el);
    case 'U':
        return std::cos(2 * az) * c * c;
    case 'V':
        return std::sin(2 * az) * c * c;
    case 'K':
        return 0.5 * s * (5 * s * s - 3);
    case 'L':
        return std::sqrt(135.0 / 256.0) * std::cos(az) * c * (5 * s * s - 1);
    case 'M':
        return std::sqrt(135.0 / 256.0) * std::sin(az) * c * (5 * s * s - 1);
    case 'N':
        return 1.5 * std::sqrt(3.0) * std::cos(2 * az) * s * c * c;
    case 'O':
        return 1.5 * std::sqrt(3.0) * std::sin(2 * az) * s * c * c;
    case 'P':
        return std::cos(3 * az) * c * c * c;
    case 'Q':
        return std::sin(3 * az) * c * c * c;
    }
    return NAN;
}

// What a field of the format holds in each channel of `convention` for a source at (az, el).
std::vector<double> expected(int dimension, int order, const std::string& convention, double az,
                             double el) {
    std::vector<double> out;
    if (convention == "fuma") {
        const std::string letters = dimension == 3 ? "WXYZRSTUVKLMNOPQ" : "WXYUVPQ";
        const int count = dimension == 3 ? (order + 1) * (order + 1) : 2 * order + 1;
        for (int i = 0; i < count; ++i)
            out.push_back(fuma(letters[i], az, el));
        return out;
    }
    for (int n = 0; n <= order; ++n)
        for (int m = -n; m <= n; ++m) {
            // A horizontal field has the sectoral harmonics alone.
            const bool present = dimension == 3 || std::abs(m) == n;
            const double scale = convention == "n3d" ? std::sqrt(2.0 * n + 1) : 1.0;
            out.push_back(present ? scale * sn3d(n, m, az, el) : 0.0);
        }
    return out;
}

constexpr const char* ORDER_WORDS[] = {"", "1st", "2nd", "3rd"};

TEST(AmbiConvert, EncoderThenConvertGivesTheRealHarmonics) {
    std::mt19937 random(30);
    std::uniform_real_distribution<double> azimuth(-std::numbers::pi, std::numbers::pi);
    std::uniform_real_distribution<double> elevation(-std::numbers::pi / 2, std::numbers::pi / 2);
    // Single precision: the encoder rounds its intermediates to floats.
    constexpr double TOLERANCE = 1e-6;
    for (int dimension : {2, 3})
        for (int order = 1; order <= 3; ++order)
            for (const std::string convention : {"ambix", "n3d", "fuma"}) {
                const std::string format = std::to_string(dimension) + "d " + ORDER_WORDS[order];
                Patch patch;
                std::string script = "vectorsize 1\nnew src sig~ 1.\nnew enc tovo.ambi.encode~ " +
                                     format + "\nnew conv tovo.ambi.convert~ " + format + " tovo " +
                                     convention + "\nconnect src 0 enc 0\n";
                const int channels = dimension == 3 ? (order + 1) * (order + 1) : 2 * order + 1;
                for (int c = 0; c < channels; ++c)
                    script +=
                        "connect enc " + std::to_string(c) + " conv " + std::to_string(c) + "\n";
                const int outputs = convention == "fuma" ? channels : (order + 1) * (order + 1);
                script += print_each_outlet("conv", outputs, "o");
                ASSERT_EQ(patch.run(script), Lines{});
                for (int d = 0; d < 20; ++d) {
                    const float az = static_cast<float>(azimuth(random));
                    const float el = static_cast<float>(elevation(random));
                    const auto got =
                        vectors_of(patch.run("send enc azimuth " + float_text(az) +
                                             "\nsend enc elevation " + float_text(el) + "\ndsp 1"),
                                   "o", outputs);
                    const auto want = expected(dimension, order, convention, az, el);
                    for (int c = 0; c < outputs; ++c)
                        EXPECT_NEAR(got[c].at(0), want[c], TOLERANCE)
                            << format << " to " << convention << ", channel " << c << " at " << az
                            << ", " << el;
                }
            }
}

TEST(AmbiConvert, InletsAndOutletsFollowEachSide) {
    struct Case {
        const char* args;
        int inlets, outlets;
        const char* first_in;
        const char* last_out;
    };
    for (const Case& c :
         {Case{"", 3, 4, "tovo channel W (signal)", "ambix channel ACN3 (signal)"},
          Case{"2d 3rd ambix tovo", 16, 7, "ambix channel ACN0 (signal)",
               "tovo channel Q (signal)"},
          Case{"3d 2nd n3d fuma", 9, 9, "n3d channel ACN0 (signal)", "fuma channel V (signal)"},
          Case{"3D 3rd-order fuma 2 0.5", 16, 16, "fuma channel W (signal)",
               "ambix channel ACN15 (signal)"}}) {
        Patch patch;
        ASSERT_EQ(patch.run(std::string("new c tovo.ambi.convert~ ") + c.args), Lines{}) << c.args;
        EXPECT_EQ(patch.inlets("c"), c.inlets) << c.args;
        ASSERT_EQ(patch.outlets("c"), c.outlets) << c.args;
        EXPECT_EQ(patch.run("assist c in 0\nassist c out " + std::to_string(c.outlets - 1)),
                  (Lines{c.first_in, c.last_out}));
    }
}

} // namespace
