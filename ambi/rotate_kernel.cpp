// SPDX-License-Identifier: GPL-3.0-or-later
// The field rotator's loops. Each block size has its own copy of the row loop, so the sum over a
// block's inputs is unrolled and the samples are the loop that vectorises: one load per input
// and one store per output sample, the accumulator in a register.
#include "rotate_kernel.hpp"

#include <algorithm>

namespace tovo::ambi {

int rotation_block(std::int32_t order, std::int32_t dimension, std::int32_t n, int* channels) {
    // The two horizontal channels of order n stand at 2n - 1 and 2n; in 3-D the height channels
    // of the lower orders (1, 3, 5, ... of them) come before order n's 2n - 1.
    channels[0] = 2 * n - 1;
    channels[1] = 2 * n;
    if (dimension != 3)
        return 2;
    const int first_height = 2 * order + 1 + (n - 1) * (n - 1);
    for (int k = 0; k < 2 * n - 1; ++k)
        channels[2 + k] = first_height + k;
    return 2 * n + 1;
}

int rotation_coefficient_count(std::int32_t order, std::int32_t dimension) {
    int count = 0;
    for (std::int32_t n = 1; n <= order; ++n) {
        const int size = dimension == 3 ? 2 * n + 1 : 2;
        count += size * size;
    }
    return count;
}

namespace {

// One output row of an S-channel block over [begin, end).
template <int S>
[[gnu::always_inline]] inline void steady_row(const float* c, const float* const* x,
                                              float* __restrict y, long begin, long end) {
    float a[S];
    const float* __restrict v[S];
    for (int k = 0; k < S; ++k) {
        a[k] = c[k];
        v[k] = x[k];
    }
    for (long j = begin; j < end; ++j) {
        float acc = a[0] * v[0][j];
#pragma GCC unroll 8
        for (int k = 1; k < S; ++k)
            acc += a[k] * v[k][j];
        y[j] = acc;
    }
}

template <int S>
[[gnu::always_inline]] inline void ramp_row(const float* c_from, const float* c_to,
                                            const float* const* x, float* __restrict y, long begin,
                                            long end) {
    float b[S], d[S];
    const float* __restrict v[S];
    for (int k = 0; k < S; ++k) {
        b[k] = c_to[k];
        d[k] = c_to[k] - c_from[k];
        v[k] = x[k] + begin;
    }
    float* __restrict out = y + begin;
    // Counted in int so that the conversion to float vectorises; a vector is at most 16384 long.
    const int length = static_cast<int>(end - begin);
    const float step = 1.0f / static_cast<float>(length);
    for (int i = 0; i < length; ++i) {
        // The share of the way still to go: (length - 1) / length at the first sample, 0 at the
        // last, which therefore has `to` exactly.
        const float t = static_cast<float>(length - 1 - i) * step;
        float acc = (b[0] - d[0] * t) * v[0][i];
#pragma GCC unroll 8
        for (int k = 1; k < S; ++k)
            acc += (b[k] - d[k] * t) * v[k][i];
        out[i] = acc;
    }
}

// The channels of one block gathered, inputs and outputs, in the block's order.
struct Block {
    int size;
    const float* x[MAX_BLOCK];
    float* y[MAX_BLOCK];
};

Block gather(std::int32_t order, std::int32_t dimension, std::int32_t n, const float* const* in,
             float* const* out) {
    int channels[MAX_BLOCK];
    Block b{};
    b.size = rotation_block(order, dimension, n, channels);
    for (int k = 0; k < b.size; ++k) {
        b.x[k] = in[channels[k]];
        b.y[k] = out[channels[k]];
    }
    return b;
}

template <int S> void steady_block(const float* c, const Block& b, long begin, long end) {
    for (int r = 0; r < S; ++r)
        steady_row<S>(c + r * S, b.x, b.y[r], begin, end);
}

template <int S>
void ramp_block(const float* from, const float* to, const Block& b, long begin, long end) {
    for (int r = 0; r < S; ++r)
        ramp_row<S>(from + r * S, to + r * S, b.x, b.y[r], begin, end);
}

} // namespace

void rotate_steady(std::int32_t order, std::int32_t dimension, const float* coefficients,
                   const float* const* in, float* const* out, long n) {
    if (n <= 0)
        return;
    std::copy(in[0], in[0] + n, out[0]);
    const float* c = coefficients;
    for (std::int32_t m = 1; m <= order; ++m) {
        const Block b = gather(order, dimension, m, in, out);
        switch (b.size) {
        case 2:
            steady_block<2>(c, b, 0, n);
            break;
        case 3:
            steady_block<3>(c, b, 0, n);
            break;
        case 5:
            steady_block<5>(c, b, 0, n);
            break;
        default:
            steady_block<7>(c, b, 0, n);
            break;
        }
        c += b.size * b.size;
    }
}

void rotate_ramp(std::int32_t order, std::int32_t dimension, const float* from, const float* to,
                 const float* const* in, float* const* out, long begin, long end) {
    if (end <= begin)
        return;
    std::copy(in[0] + begin, in[0] + end, out[0] + begin);
    std::int32_t offset = 0;
    for (std::int32_t m = 1; m <= order; ++m) {
        const Block b = gather(order, dimension, m, in, out);
        switch (b.size) {
        case 2:
            ramp_block<2>(from + offset, to + offset, b, begin, end);
            break;
        case 3:
            ramp_block<3>(from + offset, to + offset, b, begin, end);
            break;
        case 5:
            ramp_block<5>(from + offset, to + offset, b, begin, end);
            break;
        default:
            ramp_block<7>(from + offset, to + offset, b, begin, end);
            break;
        }
        offset += b.size * b.size;
    }
}

} // namespace tovo::ambi
