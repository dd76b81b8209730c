// SPDX-License-Identifier: GPL-3.0-or-later
// The spectrum sum for AVX2: eight floats per vector. Built with -mavx2 and run only where
// kernel_path_supported(KERNEL_AVX2) holds.
#include "spectrum_sum_body.hpp"

namespace tovo::ambi {

void spectrum_sum_avx2(std::size_t bins, std::size_t products, const float* const* x,
                       const float* const* h, std::size_t imaginary, float* re, float* im) {
    spectrum_sum_body(bins, products, x, h, imaginary, re, im);
}

} // namespace tovo::ambi
