// SPDX-License-Identifier: GPL-3.0-or-later
// The level of a 3-D third-order field's third-order channels, measured where they are
// orthonormal (N3D): a source of any direction has the same level there, and every rotation
// keeps it, so what a blend of rotations loses shows as a drop.
#pragma once

#include "ambi/rotate_kernel.hpp"

#include <cmath>

namespace tovo::testing {

// Level lost, in dB, by the channels P Q N O L M K of a 3-D third-order field (16 values in
// channel order) against a unit source.
template <class T> double third_order_loss_db(const T* field) {
    // Each package channel over its orthonormal harmonic, up to sign: sqrt(7) / scale.
    constexpr double LM = 0.727272727273 * 1.632993161855452; // times sqrt(8/3)
    const double scale[] = {std::sqrt(8.0 / 5),
                            std::sqrt(8.0 / 5),
                            1 / std::sqrt(15.0),
                            1 / std::sqrt(15.0),
                            LM,
                            LM,
                            1.0};
    int channels[ambi::MAX_BLOCK];
    ambi::rotation_block(3, 3, 3, channels);
    double energy = 0;
    for (int r = 0; r < 7; ++r) {
        const double v = std::sqrt(7.0) / scale[r] * static_cast<double>(field[channels[r]]);
        energy += v * v;
    }
    return -10 * std::log10(energy / 7.0);
}

} // namespace tovo::testing
