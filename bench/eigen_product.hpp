// SPDX-License-Identifier: GPL-3.0-or-later
// The decoder's matrix product done by Eigen, for comparison: one shared library per
// instruction set (Eigen picks its kernels when it is compiled), each exporting its own name.
#pragma once

namespace tovo::bench {

// feeds (speakers x n, row-major) = coefficients (speakers x channels, row-major) times
// inputs (channels x n, row-major).
using EigenProduct = void (*)(const float* coefficients, const float* inputs, float* feeds,
                              long speakers, long channels, long n);

extern "C" {
void eigen_product_baseline(const float*, const float*, float*, long, long, long);
void eigen_product_avx2(const float*, const float*, float*, long, long, long);
void eigen_product_avx512(const float*, const float*, float*, long, long, long);
}

} // namespace tovo::bench
