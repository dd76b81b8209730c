// SPDX-License-Identifier: GPL-3.0-or-later
// The field rotator's coefficient layout: W copied, and each order's channels mixed by that
// order's block of coefficients, held for a whole vector or ramped linearly across part of one.
// Shared by the maths that fills it (field_rotation.hpp) and the kernels that apply it.
#pragma once

#include "weights.hpp"

#include <cstdint>

namespace tovo::ambi {

// Channels of the largest block: third order in 3-D.
inline constexpr int MAX_BLOCK = 7;
// Coefficients of the widest format, 3-D third order: 3x3 + 5x5 + 7x7.
inline constexpr int MAX_ROTATION_COEFFICIENTS = 83;

// The channels of order n's block (n from 1 to order) in channel order, into channels[0 .. size),
// and the block's size: 2n + 1 in 3-D (the two horizontal channels of the order, then its
// height channels), 2 in 2-D.
int rotation_block(std::int32_t order, std::int32_t dimension, std::int32_t n, int* channels);

// Coefficients of a format: the blocks of orders 1 to order one after another, each a square
// matrix of its size stored row by row. Row r of a block makes the block's channel r out of all
// of the block's channels: 9, 34, 83 in 3-D, 4, 8, 12 in 2-D.
int rotation_coefficient_count(std::int32_t order, std::int32_t dimension);

// The loops over these blocks, held and ramped, are kernels: kernels(path).rotate_steady and
// .rotate_ramp (kernels.hpp).

} // namespace tovo::ambi
