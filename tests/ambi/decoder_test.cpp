// The decoder's kernel against the decoding law, sample for sample, on random layouts, weights,
// gains and widths.
#include "ambi/decoder.hpp"

#include "decoding_law.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using namespace tovo::ambi;
using tovo::testing::DecoderSettings;
using tovo::testing::law_exact;
using tovo::testing::law_sample;

struct Case {
    DecoderSettings settings;
    int speaker_count;
    float rows[MAX_SPEAKERS][MAX_CHANNELS];
    std::vector<std::vector<float>> in;  // channel_count vectors
    std::vector<std::vector<float>> out; // speaker_count vectors

    void run(long n) {
        std::vector<const float*> ins;
        std::vector<float*> outs;
        for (auto& v : in)
            ins.push_back(v.data());
        for (auto& v : out)
            outs.push_back(v.data());
        decode_vector(settings.channel_count, speaker_count, settings.gain, settings.width, rows,
                      settings.channel_weights.data(), ins.data(), outs.data(), n);
    }
};

Case random_case(std::mt19937& rng, long n) {
    std::uniform_int_distribution<int> dimension(2, 3), order(1, 3), speakers(1, MAX_SPEAKERS);
    std::uniform_real_distribution<float> angle(-4.0f, 4.0f), unit(-1.0f, 1.0f), level(0.0f, 2.0f);
    AmbiFormat f{};
    f.dimension = dimension(rng);
    f.order = order(rng);
    ambi_format_update(f);

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
            x = unit(rng);
    k.out.assign(static_cast<std::size_t>(k.speaker_count), std::vector<float>(n, 99.0f));
    return k;
}

TEST(DecodeVector, EverySampleFollowsTheLaw) {
    constexpr long N = 37;             // not a multiple of any vector width
    constexpr double TOLERANCE = 1e-5; // the single-precision feed against the exact law
    std::mt19937 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        Case k = random_case(rng, N);
        k.run(N);
        for (int s = 0; s < k.speaker_count; ++s)
            for (std::size_t j = 0; j < N; ++j) {
                ASSERT_EQ(k.out[s][j], law_sample(k.settings, k.rows[s], k.in, j))
                    << "trial " << trial << " speaker " << s << " sample " << j;
                ASSERT_NEAR(k.out[s][j], law_exact(k.settings, k.rows[s], k.in, j), TOLERANCE);
            }
    }
}

TEST(DecodeVector, WidthSharesTheFeedBetweenWAndTheDirections) {
    std::mt19937 rng(11);
    Case k = random_case(rng, 8);
    // Width 0: every speaker carries gain * w[0] * W alone.
    k.settings.width = 0.0f;
    k.run(8);
    for (int s = 0; s < k.speaker_count; ++s)
        for (std::size_t j = 0; j < 8; ++j)
            EXPECT_EQ(k.out[s][j], k.in[0][j] * static_cast<float>(double{k.settings.gain} *
                                                                   k.settings.channel_weights[0]));
    // Width 1: the W channel drops out.
    for (auto& v : k.in)
        std::fill(v.begin(), v.end(), 0.0f);
    std::fill(k.in[0].begin(), k.in[0].end(), 1.0f);
    k.settings.width = 1.0f;
    k.run(8);
    for (const auto& feed : k.out)
        for (float x : feed)
            EXPECT_EQ(x, 0.0f);
}

TEST(DecodeVector, EmptyVectorWritesNothing) {
    std::mt19937 rng(3);
    Case k = random_case(rng, 4);
    k.run(0);
    for (const auto& feed : k.out)
        for (float x : feed)
            EXPECT_EQ(x, 99.0f);
}

} // namespace
