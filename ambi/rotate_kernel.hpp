// SPDX-License-Identifier: GPL-3.0-or-later
// The field rotator's signal loops: W copied, and each order's channels mixed by that order's
// block of coefficients, held for a whole vector or ramped linearly across part of one. The
// coefficient layout is shared with the maths that fills it (field_rotation.hpp).
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

// Samples [0, n) of every channel: out W = in W; each other channel is its block's row times the
// block's inputs, the products added in column order, in single precision.
// in, out: channel_count vectors each, in channel order; no output vector is an input vector.
void rotate_steady(std::int32_t order, std::int32_t dimension, const float* coefficients,
                   const float* const* in, float* const* out, long n);

// Samples [begin, end) of every channel, under coefficients that move linearly from `from` to
// `to`: at sample j, c = to - (to - from) * ((end - 1 - j) / (end - begin)), so the last sample
// has `to` exactly and the first is one step away from `from`. Otherwise as rotate_steady.
void rotate_ramp(std::int32_t order, std::int32_t dimension, const float* from, const float* to,
                 const float* const* in, float* const* out, long begin, long end);

} // namespace tovo::ambi
