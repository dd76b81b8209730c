// SPDX-License-Identifier: GPL-3.0-or-later
// The conventions table and the conversions built from it: words, FuMa's order, the silent ACN
// slots of a horizontal field, and round trips between every pair that return each sample to
// within one single-precision rounding.
#include "ambi/conventions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace tovo::ambi;

constexpr Convention ALL[] = {CONVENTION_TOVO, CONVENTION_AMBIX, CONVENTION_N3D, CONVENTION_FUMA};

bool is_acn(Convention c) {
    return c == CONVENTION_AMBIX || c == CONVENTION_N3D;
}

// Whether ACN index `acn` is a sectoral harmonic (degree n, |m| = n), the ones a horizontal field
// has.
bool sectoral(std::int32_t acn) {
    const auto n = static_cast<std::int32_t>(std::sqrt(static_cast<double>(acn)));
    return acn == n * n || acn == n * n + 2 * n;
}

// Whether `back` is `x` or one of its two neighbours.
bool within_one_rounding(float x, float back) {
    return back == x || back == std::nextafter(x, INFINITY) || back == std::nextafter(x, -INFINITY);
}

TEST(Conventions, WordsAndFumaOrder) {
    EXPECT_EQ(find_convention_word("ambiX")->convention, CONVENTION_AMBIX);
    EXPECT_EQ(find_convention_word("fuma")->convention, CONVENTION_FUMA);
    for (const char* unknown : {"Tovo", "ambi-x", "sn3d", "", "3d"})
        EXPECT_EQ(find_convention_word(unknown), nullptr) << unknown;
    // FuMa's own order in 3-D, the package's letters in 2-D.
    std::string fuma;
    const AmbiFormat full = ambi_format(3, 3);
    for (std::int32_t i = 0; i < 16; ++i)
        fuma += convention_channel(CONVENTION_FUMA, full, i).name;
    EXPECT_EQ(fuma, "WXYZRSTUVKLMNOPQ");
    EXPECT_STREQ(convention_channel(CONVENTION_FUMA, ambi_format(2, 3), 5).name, "P");
}

TEST(Conventions, HorizontalFieldsTakeTheSectoralAcnSlots) {
    const AmbiFormat f = ambi_format(2, 3);
    const Conversion out = make_conversion(f, CONVENTION_TOVO, CONVENTION_N3D);
    for (std::int32_t k = 0; k < 16; ++k) {
        EXPECT_EQ(out.routes[k].source != NO_SOURCE, sectoral(k)) << "ACN " << k;
    }
    // Coming back, every package channel finds its slot and the other slots are left unread.
    const Conversion back = make_conversion(f, CONVENTION_AMBIX, CONVENTION_TOVO);
    const std::int32_t expected_sources[] = {0, 3, 1, 8, 4, 15, 9};
    for (std::int32_t c = 0; c < back.output_count; ++c)
        EXPECT_EQ(back.routes[c].source, expected_sources[c]) << f.letters[c];
}

TEST(Conventions, RoundTripsReturnEverySampleForEveryPair) {
    std::mt19937 random(16);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-120, 120);
    constexpr long N = 512;
    for (std::int32_t dimension : {2, 3})
        for (std::int32_t order = 1; order <= MAX_ORDER; ++order) {
            const AmbiFormat f = ambi_format(dimension, order);
            for (Convention a : ALL)
                for (Convention b : ALL) {
                    const Conversion there = make_conversion(f, a, b);
                    const Conversion back = make_conversion(f, b, a);
                    ASSERT_EQ(back.output_count, there.input_count);
                    std::vector<std::vector<float>> in(16, std::vector<float>(N)), mid = in,
                                                                                   out = in;
                    const float* in_p[16];
                    float *mid_p[16], *out_p[16];
                    for (int c = 0; c < 16; ++c) {
                        for (float& s : in[c]) // samples from 1e-36 to 1e36 and both signs
                            s = std::ldexp(mantissa(random), exponent(random));
                        in_p[c] = in[c].data();
                        mid_p[c] = mid[c].data();
                        out_p[c] = out[c].data();
                    }
                    convert_vector(there, in_p, mid_p, N);
                    convert_vector(back, mid_p, out_p, N);
                    for (std::int32_t c = 0; c < there.input_count; ++c) {
                        // An ACN slot a horizontal field lacks comes back silent.
                        const bool carried = back.routes[c].source != NO_SOURCE;
                        EXPECT_EQ(carried, !is_acn(a) || dimension == 3 || sectoral(c));
                        for (long k = 0; k < N; ++k)
                            ASSERT_TRUE(carried ? within_one_rounding(in[c][k], out[c][k])
                                                : out[c][k] == 0.0f)
                                << dimension << "-D order " << order << ", " << convention_word(a)
                                << " to " << convention_word(b) << " and back, channel " << c
                                << ": " << in[c][k] << " came back as " << out[c][k];
                    }
                }
        }
}

} // namespace
