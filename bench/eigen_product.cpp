// SPDX-License-Identifier: GPL-3.0-or-later
// One Eigen product, compiled once per instruction set into a library of its own, so that no
// Eigen function built for one set can stand in for another's. TOVO_EIGEN_ISA names the set.
#include "bench/eigen_product.hpp"

#include <Eigen/Core>

#define TOVO_CAT(a, b) a##b
#define TOVO_NAME(isa) TOVO_CAT(eigen_product_, isa)

using RowMajor = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

extern "C" __attribute__((visibility("default"))) void
TOVO_NAME(TOVO_EIGEN_ISA)(const float* coefficients, const float* inputs, float* feeds,
                          long speakers, long channels, long n) {
    const Eigen::Map<const RowMajor> a(coefficients, speakers, channels);
    const Eigen::Map<const RowMajor> b(inputs, channels, n);
    Eigen::Map<RowMajor> c(feeds, speakers, n);
    c.noalias() = a * b;
}
