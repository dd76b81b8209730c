// SPDX-License-Identifier: GPL-3.0-or-later
// The signal kernels, every path forced in turn: the decoder against the decoding law bit for
// bit on random layouts, weights, gains, widths and vector lengths, on the sums where a rounding
// in double would go wrong, and on subnormal sums; the encoder against its one-line law; and the
// choice of path.
#include "ambi/kernels.hpp"

#include "decoding_law.hpp"
#include "kernel_paths.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace tovo::ambi;
using tovo::testing::DecoderSettings;
using tovo::testing::law_exact;
using tovo::testing::law_sample;

std::uint32_t bits(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

class Path : public tovo::testing::KernelPathTest {
protected:
    DecodeVector decode() const { return kernel().decode_vector; }
    EncodeVector encode() const { return kernel().encode_vector; }
};

INSTANTIATE_TEST_SUITE_P(Kernels, Path, ::testing::ValuesIn(tovo::testing::EVERY_KERNEL_PATH),
                         tovo::testing::kernel_path_test_name);

struct Case {
    DecoderSettings settings;
    int speaker_count;
    float rows[MAX_SPEAKERS][MAX_CHANNELS];
    std::vector<std::vector<float>> in;  // channel_count vectors
    std::vector<std::vector<float>> out; // speaker_count vectors

    void run(DecodeVector decode, long n) {
        std::vector<const float*> ins;
        std::vector<float*> outs;
        for (auto& v : in)
            ins.push_back(v.data());
        for (auto& v : out)
            outs.push_back(v.data());
        decode(settings.channel_count, speaker_count, settings.gain, settings.width, rows,
               settings.channel_weights.data(), ins.data(), outs.data(), n);
    }
    // The first sample of speaker s that differs from the law, bit for bit, or -1.
    long first_fault(int s, long n) const {
        for (long j = 0; j < n; ++j)
            if (bits(out[s][j]) != bits(law_sample(settings, rows[s], in, j)))
                return j;
        return -1;
    }
};

// scale: the inputs' magnitude (1 for ordinary signals, tiny to reach subnormal sums).
Case random_case(std::mt19937& rng, long n, float scale = 1.0f) {
    std::uniform_int_distribution<int> dimension(2, 3), order(1, 3), speakers(1, MAX_SPEAKERS);
    std::uniform_real_distribution<float> angle(-4.0f, 4.0f), unit(-1.0f, 1.0f), level(0.0f, 2.0f);
    const int d = dimension(rng);
    const AmbiFormat f = ambi_format(d, order(rng));

    Case k{};
    k.settings.channel_count = f.channel_count;
    k.settings.gain = level(rng) * (unit(rng) < 0 ? -1.0f : 1.0f);
    k.settings.width = (unit(rng) + 1.0f) / 2.0f;
    for (int c = 0; c < MAX_CHANNELS; ++c)
        k.settings.channel_weights.push_back(level(rng));
    k.speaker_count = speakers(rng);
    for (int s = 0; s < k.speaker_count; ++s)
        ambi_weights(f.order, f.dimension, angle(rng), angle(rng) / 2.5f, k.rows[s]);
    k.in.assign(static_cast<std::size_t>(f.channel_count), std::vector<float>(n));
    for (auto& v : k.in)
        for (float& x : v)
            x = unit(rng) * scale;
    k.out.assign(static_cast<std::size_t>(k.speaker_count), std::vector<float>(n, 99.0f));
    return k;
}

TEST_P(Path, DecoderFollowsTheLawBitForBit) {
    constexpr double TOLERANCE = 1e-5; // the single-precision feed against the exact law
    // Lengths around every vector width and tile, odd ones, and past one and two blocks of
    // samples (of about 512).
    const long lengths[] = {1,  3,  4,  7,   8,   15,  16,  17,  24,  37,
                            48, 64, 65, 100, 256, 300, 512, 600, 1100};
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        const long n = lengths[trial % std::size(lengths)];
        Case k = random_case(rng, n);
        k.run(decode(), n);
        for (int s = 0; s < k.speaker_count; ++s) {
            ASSERT_EQ(k.first_fault(s, n), -1)
                << "trial " << trial << ", " << k.settings.channel_count << " channels, "
                << k.speaker_count << " speakers, n " << n << ", speaker " << s;
            for (long j = 0; j < n; ++j)
                ASSERT_NEAR(k.out[s][j], law_exact(k.settings, k.rows[s], k.in, j), TOLERANCE);
        }
    }
}

TEST_P(Path, DecoderKeepsTheLawWhereSumsAreSubnormal) {
    // Inputs near 2^-140: most sums fall below the smallest normal float.
    std::mt19937 rng(5);
    for (int trial = 0; trial < 40; ++trial) {
        const long n = 64 + trial % 5;
        Case k = random_case(rng, n, std::ldexp(1.0f, -140));
        k.run(decode(), n);
        for (int s = 0; s < k.speaker_count; ++s)
            ASSERT_EQ(k.first_fault(s, n), -1) << "trial " << trial << ", speaker " << s;
    }
}

// A step whose exact sum lies just below a midpoint between two floats: rounded to double first,
// it lands on the midpoint and the tie then goes up; fused, it stays below.
// out = 1 + 2^-23, in = 2^-12 (1 + 2^-18), coefficient = 2^-12 (1 - 2^-18).
const float WITNESS_OUT = 1.0f + std::ldexp(1.0f, -23);
const float WITNESS_IN = std::ldexp(1.0f + std::ldexp(1.0f, -18), -12);
const float WITNESS_COEFFICIENT = std::ldexp(1.0f - std::ldexp(1.0f, -18), -12);

TEST(Witness, FusedStepDiffersFromTheSumInDouble) {
    const float fused = std::fma(WITNESS_IN, WITNESS_COEFFICIENT, WITNESS_OUT);
    const float in_double =
        static_cast<float>(double{WITNESS_IN} * WITNESS_COEFFICIENT + double{WITNESS_OUT});
    EXPECT_EQ(fused, WITNESS_OUT);
    EXPECT_EQ(in_double, 1.0f + std::ldexp(1.0f, -22));
}

// Decoder settings whose coefficients are the rows as they stand: gain 2, width 0.5 and unit
// weights make the W coefficient and b * g both 1.
Case unit_case(int channels, int speakers, long n) {
    Case k{};
    k.settings = {channels, 2.0f, 0.5f, std::vector<float>(MAX_CHANNELS, 1.0f)};
    k.speaker_count = speakers;
    k.in.assign(static_cast<std::size_t>(channels), std::vector<float>(n, 0.0f));
    k.out.assign(static_cast<std::size_t>(speakers), std::vector<float>(n, 99.0f));
    return k;
}

TEST_P(Path, DecoderStepIsOneFusedMultiplyAdd) {
    constexpr long N = 67;
    Case k = unit_case(2, 3, N);
    for (int s = 0; s < 3; ++s)
        k.rows[s][1] = WITNESS_COEFFICIENT;
    std::fill(k.in[0].begin(), k.in[0].end(), WITNESS_OUT);
    std::fill(k.in[1].begin(), k.in[1].end(), WITNESS_IN);
    k.run(decode(), N);
    for (int s = 0; s < 3; ++s)
        for (long j = 0; j < N; ++j)
            ASSERT_EQ(k.out[s][j], WITNESS_OUT) << "speaker " << s << " sample " << j;
}

TEST_P(Path, DecoderBreaksTiesOnlyWhereTheExactSumIsATie) {
    // Sums on a midpoint, a hair below or above one, or further off, among ordinary ones and in
    // every lane position: a W sample m plus a product near half an ulp of m, that half ulp times
    // the product of two of these factors. Once with |m| in [1, 2), once with m subnormal, where
    // the midpoints lie at other bits of a double.
    const float factors[] = {1.0f - std::ldexp(1.0f, -18), 1.0f + std::ldexp(1.0f, -18),
                             1.0f + std::ldexp(1.0f, -12),
                             1.0f - std::ldexp(1.0f, -12) + std::ldexp(1.0f, -24), 1.0f};
    constexpr int SPEAKERS = static_cast<int>(std::size(factors));
    constexpr long N = 131;
    struct Range {
        const char* name;
        int ulp_exponent; // of m
        float lowest;     // smallest |m|
    };
    for (const Range& range : {Range{"normal", -23, 1.0f}, Range{"subnormal", -149, 0.0f}}) {
        SCOPED_TRACE(range.name);
        // Each factor scaled by the square root of half an ulp.
        const int half = (range.ulp_exponent - 1) / 2;
        Case k = unit_case(3, SPEAKERS, N);
        std::mt19937 rng(3);
        std::uniform_int_distribution<int> mantissa(1, (1 << 23) - 1), pick(0, SPEAKERS - 1),
            kind(0, 3);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int s = 0; s < SPEAKERS; ++s) {
            k.rows[s][1] = std::ldexp(factors[s], half);
            k.rows[s][2] = unit(rng);
        }
        for (long j = 0; j < N; ++j) {
            const float sign = unit(rng) < 0 ? -1.0f : 1.0f;
            const float m =
                range.lowest + std::ldexp(static_cast<float>(mantissa(rng)), range.ulp_exponent);
            const bool near_tie = kind(rng) != 0;
            k.in[0][j] = near_tie ? sign * m : unit(rng);
            k.in[1][j] = near_tie ? sign * std::ldexp(factors[pick(rng)], half) : unit(rng);
            k.in[2][j] = near_tie ? 0.0f : unit(rng);
        }
        k.run(decode(), N);
        for (int s = 0; s < SPEAKERS; ++s)
            ASSERT_EQ(k.first_fault(s, N), -1) << "speaker " << s;
    }
}

TEST_P(Path, WidthSharesTheFeedBetweenWAndTheDirections) {
    std::mt19937 rng(11);
    Case k = random_case(rng, 24);
    // Width 0: every speaker carries gain * w[0] * W alone.
    k.settings.width = 0.0f;
    k.run(decode(), 24);
    const float w_coefficient =
        static_cast<float>(double{k.settings.gain} * k.settings.channel_weights[0]);
    for (int s = 0; s < k.speaker_count; ++s)
        for (std::size_t j = 0; j < 24; ++j)
            EXPECT_EQ(k.out[s][j], k.in[0][j] * w_coefficient);
    // Width 1: the W channel drops out.
    for (auto& v : k.in)
        std::fill(v.begin(), v.end(), 0.0f);
    std::fill(k.in[0].begin(), k.in[0].end(), 1.0f);
    k.settings.width = 1.0f;
    k.run(decode(), 24);
    for (const auto& feed : k.out)
        for (float x : feed)
            EXPECT_EQ(x, 0.0f);
}

TEST_P(Path, EmptyVectorWritesNothing) {
    std::mt19937 rng(3);
    Case k = random_case(rng, 4);
    k.run(decode(), 0);
    for (const auto& feed : k.out)
        for (float x : feed)
            EXPECT_EQ(x, 99.0f);

    float weights[MAX_CHANNELS] = {1.0f};
    float in[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    float out[4] = {99.0f, 99.0f, 99.0f, 99.0f};
    float* outs[] = {out};
    encode()(1, weights, in, outs, 0);
    for (float x : out)
        EXPECT_EQ(x, 99.0f);
}

TEST_P(Path, CoefficientsAreRoundedOnceFromDouble) {
    std::mt19937 rng(13);
    for (int trial = 0; trial < 50; ++trial) {
        Case k = random_case(rng, 1);
        const DecoderSettings& s = k.settings;
        float w_coefficient = 0.0f;
        float coefficient[MAX_SPEAKERS][MAX_CHANNELS];
        kernels(GetParam())
            .decode_coefficients(s.channel_count, k.speaker_count, s.gain, s.width, k.rows,
                                 s.channel_weights.data(), &w_coefficient, coefficient);
        const double g = s.gain, b = s.width;
        ASSERT_EQ(w_coefficient, static_cast<float>((1.0 - b) * g * s.channel_weights[0]));
        for (int r = 0; r < k.speaker_count; ++r)
            for (int c = 1; c < s.channel_count; ++c)
                ASSERT_EQ(coefficient[r][c],
                          static_cast<float>(b * g * k.rows[r][c] * s.channel_weights[c]))
                    << "trial " << trial << " speaker " << r << " channel " << c;
    }
}

TEST_P(Path, MatrixKernelGivesWhatTheDecoderGivesFromTheSameCoefficients) {
    // Its own W coefficient in every row: a matrix of coefficients as the decoder forms them
    // gives the decoder's samples, and a row with another W term follows the law of that row.
    const long lengths[] = {1, 7, 24, 64, 65, 300, 600};
    std::mt19937 rng(19);
    for (int trial = 0; trial < 100; ++trial) {
        const long n = lengths[trial % std::size(lengths)];
        Case k = random_case(rng, n);
        const DecoderSettings& s = k.settings;
        float w_coefficient = 0.0f;
        alignas(64) float matrix[MAX_SPEAKERS][MAX_CHANNELS] = {};
        kernels(GetParam())
            .decode_coefficients(s.channel_count, k.speaker_count, s.gain, s.width, k.rows,
                                 s.channel_weights.data(), &w_coefficient, matrix);
        for (int r = 0; r < k.speaker_count; ++r)
            matrix[r][0] = w_coefficient;
        const int odd = k.speaker_count - 1; // a W term of its own
        matrix[odd][0] = 0.375f;

        k.run(decode(), n);
        std::vector<std::vector<float>> out(static_cast<std::size_t>(k.speaker_count),
                                            std::vector<float>(n, 99.0f));
        std::vector<const float*> ins;
        std::vector<float*> outs;
        for (auto& v : k.in)
            ins.push_back(v.data());
        for (auto& v : out)
            outs.push_back(v.data());
        kernels(GetParam())
            .decode_matrix(s.channel_count, k.speaker_count, matrix, ins.data(), outs.data(), n);
        for (int r = 0; r < k.speaker_count; ++r)
            for (long j = 0; j < n; ++j) {
                float expected = k.out[r][j];
                if (r == odd) {
                    expected = k.in[0][j] * matrix[r][0];
                    for (int c = 1; c < s.channel_count; ++c)
                        expected = std::fma(k.in[c][j], matrix[r][c], expected);
                }
                ASSERT_EQ(bits(out[r][j]), bits(expected))
                    << "trial " << trial << " speaker " << r << " sample " << j;
            }
    }
}

TEST_P(Path, EncoderScalesTheInputIntoEveryChannel) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    // Every format's channel count, over lengths of whole blocks (the unrolled passes) and not.
    const long lengths[] = {1, 5, 16, 37, 64, 100, 129, 192, 512};
    for (long n : lengths) {
        for (int channels : {1, 3, 4, 5, 7, 9, 11, 16}) {
            float weights[MAX_CHANNELS];
            for (float& w : weights)
                w = unit(rng);
            weights[1] = 0.0f;                   // +0 out whatever the input's sign
            weights[2] = std::ldexp(1.0f, -100); // products that round to a signed zero
            std::vector<float> in(static_cast<std::size_t>(n));
            for (float& x : in)
                x = unit(rng) * (unit(rng) < 0 ? std::ldexp(1.0f, -60) : 1.0f);
            in[0] = -0.0f;
            std::vector<std::vector<float>> out(16, std::vector<float>(n, 99.0f));
            std::vector<float*> outs;
            for (auto& v : out)
                outs.push_back(v.data());
            encode()(channels, weights, in.data(), outs.data(), n);
            for (int c = 0; c < 16; ++c)
                for (long j = 0; j < n; ++j) {
                    const float expected = c < channels ? 0.0f + weights[c] * in[j] : 99.0f;
                    ASSERT_EQ(bits(out[c][j]), bits(expected))
                        << "n " << n << " channel " << c << " sample " << j;
                }
        }
    }
}

TEST(KernelChoice, AnyNameGivesAPathThisCpuRuns) {
    // The portable path is everywhere, and taken only when named.
    EXPECT_TRUE(kernel_path_supported(KERNEL_PORTABLE));
    EXPECT_EQ(choose_kernel_path("portable"), KERNEL_PORTABLE);
    const KernelPath fastest = choose_kernel_path(nullptr);
    EXPECT_TRUE(kernel_path_supported(fastest));
    EXPECT_EQ(choose_kernel_path("no-such-path"), fastest);
    EXPECT_EQ(choose_kernel_path(""), fastest);
    // Every path this CPU runs is taken when named.
    for (int p = 0; p < KERNEL_PATH_COUNT; ++p) {
        const auto path = static_cast<KernelPath>(p);
        if (kernel_path_supported(path)) {
            EXPECT_EQ(choose_kernel_path(kernel_path_name(path)), path) << kernel_path_name(path);
        }
    }
#if defined(__x86_64__)
    EXPECT_NE(fastest, KERNEL_PORTABLE);
    EXPECT_FALSE(kernel_path_supported(KERNEL_NEON));
    EXPECT_EQ(choose_kernel_path("neon"), fastest); // another architecture's path
    EXPECT_EQ(choose_kernel_path("baseline"), KERNEL_BASELINE);
    // A path the CPU lacks gives the fastest below it.
    EXPECT_EQ(choose_kernel_path("avx2"),
              kernel_path_supported(KERNEL_AVX2) ? KERNEL_AVX2 : KERNEL_BASELINE);
    EXPECT_EQ(choose_kernel_path("avx512"), fastest);
#elif defined(__aarch64__)
    EXPECT_EQ(fastest, KERNEL_NEON);
    EXPECT_EQ(choose_kernel_path("avx2"), KERNEL_NEON); // another architecture's path
#else
    EXPECT_EQ(fastest, KERNEL_PORTABLE);
#endif
}

} // namespace
