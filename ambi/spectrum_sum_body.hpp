// SPDX-License-Identifier: GPL-3.0-or-later
// The body of the spectrum sum, included once per instruction set: eight bins at a time in
// registers, over every product, then stored.
#pragma once

#include "spectrum_sum.hpp"

namespace tovo::ambi {
// Each path's copy stays in its own file: a shared one could run wide instructions on the
// baseline path.
namespace {

// Eight floats as one value: one register with AVX2, two without.
typedef float Lanes __attribute__((vector_size(SUM_LANES * sizeof(float))));

void spectrum_sum_body(std::size_t bins, std::size_t products, const float* const* x,
                       const float* const* h, std::size_t imaginary, float* re, float* im) {
    for (std::size_t k = 0; k < bins; k += SUM_LANES) {
        Lanes r = {}, i = {};
        for (std::size_t p = 0; p < products; ++p) {
            // Copies, not casts: the arrays need no more alignment than a float's.
            Lanes xr, xi, hr, hi;
            __builtin_memcpy(&xr, x[p] + k, sizeof xr);
            __builtin_memcpy(&xi, x[p] + k + imaginary, sizeof xi);
            __builtin_memcpy(&hr, h[p] + k, sizeof hr);
            __builtin_memcpy(&hi, h[p] + k + imaginary, sizeof hi);
            r += xr * hr - xi * hi;
            i += xr * hi + xi * hr;
        }
        __builtin_memcpy(re + k, &r, sizeof r);
        __builtin_memcpy(im + k, &i, sizeof i);
    }
}

} // namespace
} // namespace tovo::ambi
