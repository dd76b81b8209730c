// SPDX-License-Identifier: GPL-3.0-or-later
// The partitioned convolution's inner loop, built for baseline x86-64 and for AVX2: the sum of
// many products of two spectra, kept split in real and imaginary parts. Both paths add in the
// same order with no fused steps, so they give the same samples; the convolver takes the
// package's kernel path.
#pragma once

#include <cstddef>

namespace tovo::ambi {

// Bins of a spectrum are summed eight at a time: strides are a multiple of this.
inline constexpr std::size_t SUM_LANES = 8;

// re[k] + i im[k] = sum over p of x[p][k] * h[p][k], for k below `bins` (a multiple of
// SUM_LANES), each spectrum's imaginary parts `imaginary` floats after its real parts.
using SpectrumSum = void (*)(std::size_t bins, std::size_t products, const float* const* x,
                             const float* const* h, std::size_t imaginary, float* re, float* im);

void spectrum_sum_baseline(std::size_t bins, std::size_t products, const float* const* x,
                           const float* const* h, std::size_t imaginary, float* re, float* im);
void spectrum_sum_avx2(std::size_t bins, std::size_t products, const float* const* x,
                       const float* const* h, std::size_t imaginary, float* re, float* im);

} // namespace tovo::ambi
