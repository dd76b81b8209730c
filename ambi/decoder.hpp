// The decoding law over one signal vector: every speaker feed is the W channel under a
// coefficient shared by all speakers, plus each other channel under the product of the gain,
// the width, the channel's harmonic at the speaker and its flavour weight. The decoder's perform
// routine is this kernel; a faster one must give the same samples.
#pragma once

#include "ambi/relaxed.hpp"
#include "ambi/weights.hpp"

#include <cmath>
#include <cstdint>

namespace tovo::ambi {

inline constexpr int MAX_SPEAKERS = 32;

// rows: a row of 16 harmonics per speaker, entry [k][c] for c from 1 (entry 0 unused);
// channel_weights: 16 floats in channel order; in: channel_count input vectors; out:
// speaker_count output vectors of n samples, none of them an input vector. rows, channel_weights,
// gain and width may be written meanwhile: each is read once, whole, per speaker and channel.
inline void decode_vector(std::int32_t channel_count, std::int32_t speaker_count, float gain,
                          float width, const float (*rows)[MAX_CHANNELS],
                          const float* channel_weights, const float* const* in, float* const* out,
                          long n) {
    const double g = gain;
    const double b = width;
    for (std::int32_t k = speaker_count - 1; k >= 0; --k) {
        // Coefficients are formed in double and rounded once, then held for the whole vector.
        float coefficient[MAX_CHANNELS];
        coefficient[0] = static_cast<float>(((1.0 - b) * g) * load_relaxed(channel_weights[0]));
        for (std::int32_t c = 1; c < channel_count; ++c)
            coefficient[c] = static_cast<float>(((b * g) * load_relaxed(rows[k][c])) *
                                                load_relaxed(channel_weights[c]));

        // The W pass is the first write of the vector: there is no separate clearing pass.
        float* feed = out[k];
        const float* w = in[0];
        const float a = coefficient[0];
        for (long j = 0; j < n; ++j)
            feed[j] = w[j] * a;
        // One rounding per step: the exact product plus the running sum, rounded once.
        for (std::int32_t c = 1; c < channel_count; ++c) {
            const float* channel = in[c];
            const float q = coefficient[c];
            for (long j = 0; j < n; ++j)
                feed[j] = std::fma(channel[j], q, feed[j]);
        }
    }
}

} // namespace tovo::ambi
