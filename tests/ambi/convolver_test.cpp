// SPDX-License-Identifier: GPL-3.0-or-later
// The partitioned convolution against a direct one: vector sizes from 1 sample up, filters of
// lengths that are no multiple of the vector, plain and mirrored sets, non-finite input, and the
// one-vector fade from one set to another.
#include "ambi/convolver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tovo::ambi;

// Random filters for channels W X Y Z: W and X longer than Y and Z.
BinauralFilters random_filters(bool mirrored, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> noise;
    BinauralFilters f;
    f.taps = 37;
    f.channels = 4;
    f.letters = "WXYZ";
    f.lengths = {37, 37, 20, 20};
    f.mirrored = mirrored;
    for (int c = 0; c < 4; ++c)
        for (int n = 0; n < f.taps; ++n) {
            const float l = n < f.lengths[c] ? noise(random) : 0.0f;
            f.left.push_back(l);
            // Y changes sign left to right; the others do not.
            f.right.push_back(mirrored ? (c == 2 ? -l : l)
                                       : (n < f.lengths[c] ? noise(random) : 0));
        }
    return f;
}

// Ear `right` of the direct convolution at sample t.
double direct(const BinauralFilters& f, const std::vector<std::vector<float>>& in, bool right,
              std::size_t t) {
    double sum = 0;
    for (int c = 0; c < f.channels; ++c)
        for (int n = 0; n < f.taps && static_cast<std::size_t>(n) <= t; ++n)
            sum += double{(right ? f.right : f.left)[static_cast<std::size_t>(c * f.taps + n)]} *
                   in[c][t - n];
    return sum;
}

struct Rendered {
    std::vector<float> left, right;
};

// The convolver over `vectors` vectors of `in`, the set changing to `after` (if given) at
// vector `change`.
Rendered convolve(int block, const BinauralFilters& f, const std::vector<std::vector<float>>& in,
                  int vectors, const BinauralFilters* after = nullptr, int change = -1) {
    Convolver conv;
    EXPECT_TRUE(conv.prepare(block, f.channels, f.taps));
    std::unique_ptr<FilterSpectra> now(conv.make_spectra(f));
    std::unique_ptr<FilterSpectra> next(after ? conv.make_spectra(*after) : nullptr);
    Rendered run;
    std::vector<float> l(static_cast<std::size_t>(block)), r(l.size());
    for (int v = 0; v < vectors; ++v) {
        const float* channels[4];
        for (int c = 0; c < f.channels; ++c)
            channels[c] = &in[c][static_cast<std::size_t>(v) * block];
        std::unique_ptr<FilterSpectra> before;
        if (v == change) {
            before = std::move(now);
            now = std::move(next);
        }
        conv.process(*now, before.get(), channels, l.data(), r.data(), 0.5f);
        run.left.insert(run.left.end(), l.begin(), l.end());
        run.right.insert(run.right.end(), r.begin(), r.end());
    }
    return run;
}

std::vector<std::vector<float>> random_input(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-1, 1);
    std::vector<std::vector<float>> in(4, std::vector<float>(length));
    for (auto& channel : in)
        for (float& v : channel)
            v = noise(random);
    return in;
}

TEST(Convolver, EqualsTheDirectConvolutionAtEveryVectorSize) {
    for (bool mirrored : {false, true})
        for (int block : {1, 3, 16, 37, 64, 100}) {
            SCOPED_TRACE((mirrored ? "mirrored, block " : "plain, block ") + std::to_string(block));
            const BinauralFilters f = random_filters(mirrored, 11);
            const int vectors = 200 / block + 3;
            const auto in = random_input(static_cast<std::size_t>(vectors) * block, 5);
            const Rendered run = convolve(block, f, in, vectors);
            for (std::size_t t = 0; t < run.left.size(); ++t) {
                ASSERT_NEAR(run.left[t], 0.5 * direct(f, in, false, t), 2e-5) << t;
                ASSERT_NEAR(run.right[t], 0.5 * direct(f, in, true, t), 2e-5) << t;
            }
        }
}

TEST(Convolver, NonFiniteInputCountsAsSilence) {
    const BinauralFilters f = random_filters(true, 4);
    const int block = 8, vectors = 12;
    auto in = random_input(static_cast<std::size_t>(vectors) * block, 9);
    auto clean = in;
    in[0][17] = std::numeric_limits<float>::quiet_NaN();
    in[2][40] = std::numeric_limits<float>::infinity();
    in[3][41] = -std::numeric_limits<float>::infinity();
    clean[0][17] = clean[2][40] = clean[3][41] = 0.0f;
    const Rendered run = convolve(block, f, in, vectors);
    for (std::size_t t = 0; t < run.left.size(); ++t) {
        ASSERT_NEAR(run.left[t], 0.5 * direct(f, clean, false, t), 2e-5) << t;
        ASSERT_NEAR(run.right[t], 0.5 * direct(f, clean, true, t), 2e-5) << t;
    }
}

TEST(Convolver, SilenceGivesExactZeros) {
    const BinauralFilters f = random_filters(false, 2);
    const std::vector<std::vector<float>> in(4, std::vector<float>(64 * 5, 0.0f));
    const Rendered run = convolve(64, f, in, 5);
    for (std::size_t t = 0; t < run.left.size(); ++t) {
        ASSERT_EQ(run.left[t], 0.0f);
        ASSERT_EQ(run.right[t], 0.0f);
    }
}

TEST(Convolver, ANewSetFadesInAcrossOneVectorWithThePastKept) {
    const BinauralFilters a = random_filters(true, 21), b = random_filters(false, 22);
    const int block = 16, vectors = 8, change = 4;
    const auto in = random_input(static_cast<std::size_t>(vectors) * block, 3);
    const Rendered run = convolve(block, a, in, vectors, &b, change);
    for (std::size_t t = 0; t < run.left.size(); ++t) {
        const long v = static_cast<long>(t) / block;
        // The new set's share: 0 before the change, rising over its vector, 1 after.
        const double share = v < change ? 0.0 : v > change ? 1.0 : (t % block + 1.0) / block;
        for (bool right : {false, true}) {
            const double expected =
                0.5 * ((1 - share) * direct(a, in, right, t) + share * direct(b, in, right, t));
            ASSERT_NEAR((right ? run.right : run.left)[t], expected, 2e-5) << t;
        }
    }
}

} // namespace
