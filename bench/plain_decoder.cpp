// SPDX-License-Identifier: GPL-3.0-or-later
// The plain loops, built -O2 for baseline x86-64 as a typical plug-in is.
#include "bench/plain_decoder.hpp"

#include <cmath>

namespace tovo::bench {

using ambi::MAX_CHANNELS;

void plain_decode_in_double(std::int32_t channel_count, std::int32_t speaker_count, float gain,
                            float width, const float (*rows)[MAX_CHANNELS],
                            const float* channel_weights, const float* const* in, float* const* out,
                            long n) {
    const double g = gain;
    const double b = width;
    for (std::int32_t k = speaker_count - 1; k >= 0; --k) {
        float* feed = out[k];
        const float a = static_cast<float>(((1.0 - b) * g) * channel_weights[0]);
        for (long j = 0; j < n; ++j)
            feed[j] = in[0][j] * a;
        for (std::int32_t c = 1; c < channel_count; ++c) {
            const float q = static_cast<float>(((b * g) * rows[k][c]) * channel_weights[c]);
            const float* channel = in[c];
            for (long j = 0; j < n; ++j)
                feed[j] = static_cast<float>(double{channel[j]} * q + feed[j]);
        }
    }
}

void plain_decode_fma_call(std::int32_t channel_count, std::int32_t speaker_count, float gain,
                           float width, const float (*rows)[MAX_CHANNELS],
                           const float* channel_weights, const float* const* in, float* const* out,
                           long n) {
    const double g = gain;
    const double b = width;
    for (std::int32_t k = speaker_count - 1; k >= 0; --k) {
        float* feed = out[k];
        const float a = static_cast<float>(((1.0 - b) * g) * channel_weights[0]);
        for (long j = 0; j < n; ++j)
            feed[j] = in[0][j] * a;
        for (std::int32_t c = 1; c < channel_count; ++c) {
            const float q = static_cast<float>(((b * g) * rows[k][c]) * channel_weights[c]);
            const float* channel = in[c];
            for (long j = 0; j < n; ++j)
                feed[j] = std::fma(channel[j], q, feed[j]);
        }
    }
}

} // namespace tovo::bench
