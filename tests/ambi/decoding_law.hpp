// SPDX-License-Identifier: GPL-3.0-or-later
// The decoding law written out one output sample at a time, apart from the decoder's own code,
// at the precision the decoder promises: each coefficient formed in double and rounded once,
// the W term first, then one fused multiply-add per channel in rising order.
#pragma once

#include <cmath>
#include <vector>

namespace tovo::testing {

struct DecoderSettings {
    int channel_count;
    float gain;
    float width;
    std::vector<float> channel_weights; // channel order, W first
};

// Sample j of the feed of a speaker whose harmonics are `row` (entry 0 unused);
// in[c][j] is sample j of channel c.
inline float law_sample(const DecoderSettings& s, const float* row,
                        const std::vector<std::vector<float>>& in, std::size_t j) {
    const double g = s.gain, b = s.width;
    const float w_coefficient = static_cast<float>((1.0 - b) * g * s.channel_weights[0]);
    float feed = in[0][j] * w_coefficient;
    for (int c = 1; c < s.channel_count; ++c) {
        const float coefficient = static_cast<float>(b * g * row[c] * s.channel_weights[c]);
        feed = std::fma(in[c][j], coefficient, feed);
    }
    return feed;
}

// The same law in double precision throughout: what the single-precision feed approximates.
inline double law_exact(const DecoderSettings& s, const float* row,
                        const std::vector<std::vector<float>>& in, std::size_t j) {
    const double g = s.gain, b = s.width;
    double feed = g * (1.0 - b) * s.channel_weights[0] * in[0][j];
    for (int c = 1; c < s.channel_count; ++c)
        feed += g * b * row[c] * s.channel_weights[c] * in[c][j];
    return feed;
}

} // namespace tovo::testing
