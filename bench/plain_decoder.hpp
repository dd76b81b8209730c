// SPDX-License-Identifier: GPL-3.0-or-later
// The decoding law as a plug-in writer would first write it, for the benchmark to measure the
// kernels against: one speaker after another, one channel pass per speaker over the vector.
#pragma once

#include "ambi/kernels.hpp"

#include <cstdint>

namespace tovo::bench {

// Each step's product and sum formed in double and rounded once when stored, as the law reads.
void plain_decode_in_double(std::int32_t channel_count, std::int32_t speaker_count, float gain,
                            float width, const float (*rows)[ambi::MAX_CHANNELS],
                            const float* channel_weights, const float* const* in, float* const* out,
                            long n);

// Each step one fused multiply-add from the library: on a baseline build, a call per sample.
void plain_decode_fma_call(std::int32_t channel_count, std::int32_t speaker_count, float gain,
                           float width, const float (*rows)[ambi::MAX_CHANNELS],
                           const float* channel_weights, const float* const* in, float* const* out,
                           long n);

} // namespace tovo::bench
