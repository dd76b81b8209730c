// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder's and decoder's loops, written once over a few vector operations. Each
// instruction-set file defines those operations and includes this under its own compiler flags.
// Everything here has internal linkage (hence the unnamed namespace in a header): a copy built
// for one instruction set can never stand in for another's at link time.
#pragma once

#include "kernels.hpp"
#include "rotate_kernel.hpp"

#include <cstdint>
#include <cstring>

namespace tovo::ambi {
namespace { // NOLINT(cert-dcl59-cpp,google-build-namespaces): one copy per instruction set

// One relaxed load, as load_relaxed (<tovo/relaxed.hpp>) does it, spelled with the builtin so
// that no shared inline function is compiled under this file's flags.
[[gnu::always_inline]] inline float load_whole(const float& value) {
    float v;
    __atomic_load(&value, &v, __ATOMIC_RELAXED);
    return v;
}

// Input vectors the encoder loads ahead of its stores.
constexpr int ENCODE_BLOCK = 4;

constexpr long at_most(long a, long b) {
    return a < b ? a : b;
}

// What every speaker's coefficients share, read once per vector.
struct Shared {
    float w_coefficient; // ((1 - b) * g) * w[0], rounded once
    double bg;           // b * g, exact
    int lanes;           // coefficients formed per row: channel_count rounded up to whole vectors
    alignas(64) double weights[MAX_CHANNELS]; // channel weights, entries below lanes
};

template <class Isa>
void share(std::int32_t nc, float gain, float width, const float* channel_weights, Shared& s) {
    constexpr int D = Isa::DOUBLE_LANES;
    s.lanes = (nc + D - 1) / D * D;
    // Stored a whole vector at a time, as the coefficient loops load them.
    Isa::widen(channel_weights, s.lanes, s.weights);
    const double g = gain;
    const double b = width;
    s.w_coefficient = static_cast<float>(((1.0 - b) * g) * s.weights[0]);
    s.bg = b * g;
}

// One register tile: MS speakers by NJ vectors of samples from sample j. The accumulators stay in
// registers from the W term to the last channel; each input load serves MS speakers and each
// coefficient NJ vectors. Row m of q holds speaker m's coefficients, the W term's in entry 0.
template <class Isa, int MS, int NJ>
[[gnu::always_inline]] inline void decode_tile(std::int32_t nc, const float* const* in,
                                               const float (*q)[MAX_CHANNELS], float* const* out,
                                               long j) {
    constexpr int L = Isa::LANES;
    typename Isa::In x[NJ];
    typename Isa::Acc acc[MS][NJ];
#pragma GCC unroll 8
    for (int t = 0; t < NJ; ++t)
        x[t] = Isa::load_in(in[0] + j + t * L);
#pragma GCC unroll 8
    for (int m = 0; m < MS; ++m) {
        const typename Isa::Coef a = Isa::broadcast(&q[m][0]);
#pragma GCC unroll 8
        for (int t = 0; t < NJ; ++t)
            acc[m][t] = Isa::mul(x[t], a);
    }
    for (std::int32_t c = 1; c < nc; ++c) {
#pragma GCC unroll 8
        for (int t = 0; t < NJ; ++t)
            x[t] = Isa::load_in(in[c] + j + t * L);
#pragma GCC unroll 8
        for (int m = 0; m < MS; ++m) {
            const typename Isa::Coef qc = Isa::broadcast(&q[m][c]);
#pragma GCC unroll 8
            for (int t = 0; t < NJ; ++t)
                acc[m][t] = Isa::madd(x[t], qc, acc[m][t]);
        }
    }
    // The outlet pointers are taken before the stores: a vector store may alias anything, and
    // the pointers would be read again after each one.
    float* feed[MS];
#pragma GCC unroll 8
    for (int m = 0; m < MS; ++m)
        feed[m] = out[m] + j;
#pragma GCC unroll 8
    for (int m = 0; m < MS; ++m)
#pragma GCC unroll 8
        for (int t = 0; t < NJ; ++t)
            Isa::store(feed[m] + t * L, acc[m][t]);
}

// The last, narrower tile of a run: `vectors` below NJ.
template <class Isa, int MS, int NJ>
[[gnu::always_inline]] inline void
decode_last_tile(int vectors, std::int32_t nc, const float* const* in,
                 const float (*q)[MAX_CHANNELS], float* const* out, long j) {
    if constexpr (NJ > 0) {
        if (vectors == NJ)
            decode_tile<Isa, MS, NJ>(nc, in, q, out, j);
        else
            decode_last_tile<Isa, MS, NJ - 1>(vectors, nc, in, q, out, j);
    }
}

// MS speakers over the whole vectors of samples [j0, j1).
template <class Isa, int MS>
[[gnu::always_inline]] inline void decode_run(std::int32_t nc, const float* const* in,
                                              const float (*q)[MAX_CHANNELS], float* const* out,
                                              long j0, long j1) {
    constexpr int NJ = Isa::SAMPLE_TILE;
    constexpr long STEP = NJ * Isa::LANES;
    long j = j0;
    for (; j + STEP <= j1; j += STEP)
        decode_tile<Isa, MS, NJ>(nc, in, q, out, j);
    decode_last_tile<Isa, MS, NJ - 1>(static_cast<int>((j1 - j) / Isa::LANES), nc, in, q, out, j);
}

// ms speakers, ms at most MS.
template <class Isa, int MS>
[[gnu::always_inline]] inline void decode_speakers(int ms, std::int32_t nc, const float* const* in,
                                                   const float (*q)[MAX_CHANNELS],
                                                   float* const* out, long j0, long j1) {
    if constexpr (MS > 1) {
        if (ms < MS)
            return decode_speakers<Isa, MS - 1>(ms, nc, in, q, out, j0, j1);
    }
    decode_run<Isa, MS>(nc, in, q, out, j0, j1);
}

// Samples past the last whole vector, one at a time by the same steps.
template <class Isa>
void decode_tail(std::int32_t nc, std::int32_t ns, const float (*q)[MAX_CHANNELS],
                 const float* const* in, float* const* out, long whole, long n) {
    for (std::int32_t k = 0; k < ns; ++k)
        for (long j = whole; j < n; ++j) {
            float feed = in[0][j] * q[k][0];
            for (std::int32_t c = 1; c < nc; ++c)
                feed = Isa::madd1(in[c][j], q[k][c], feed);
            out[k][j] = feed;
        }
}

template <class Isa>
void decode_coefficients(std::int32_t nc, std::int32_t ns, float gain, float width,
                         const float (*rows)[MAX_CHANNELS], const float* channel_weights,
                         float* w_coefficient, float (*coefficient)[MAX_CHANNELS]) {
    Shared s;
    share<Isa>(nc, gain, width, channel_weights, s);
    *w_coefficient = s.w_coefficient;
    for (std::int32_t k = 0; k < ns; ++k)
        Isa::coefficients(rows[k], s.weights, s.bg, s.lanes, coefficient[k]);
}

template <class Isa>
void decode_vector(std::int32_t nc, std::int32_t ns, float gain, float width,
                   const float (*rows)[MAX_CHANNELS], const float* channel_weights,
                   const float* const* in, float* const* out, long n) {
    if (n <= 0)
        return;
    Shared s;
    share<Isa>(nc, gain, width, channel_weights, s);
    alignas(64) float q[MAX_SPEAKERS][MAX_CHANNELS];

    // Samples go in blocks of about 512, whose inputs stay near the core across the speaker
    // tiles (smaller blocks measured no faster). The first block forms each tile's coefficients
    // just before the tile needs them, so that work overlaps the multiply-adds of the tile before.
    constexpr int MS = Isa::SPEAKER_TILE;
    constexpr long STEP = Isa::SAMPLE_TILE * Isa::LANES;
    constexpr long BLOCK = (512 + STEP - 1) / STEP * STEP;
    const long whole = n - n % Isa::LANES;
    const long first = at_most(whole, BLOCK);
    for (std::int32_t k0 = 0; k0 < ns; k0 += MS) {
        const int ms = static_cast<int>(at_most(MS, ns - k0));
        for (int m = 0; m < ms; ++m) {
            Isa::coefficients(rows[k0 + m], s.weights, s.bg, s.lanes, q[k0 + m]);
            q[k0 + m][0] = s.w_coefficient;
        }
        decode_speakers<Isa, MS>(ms, nc, in, q + k0, out + k0, 0, first);
    }
    for (long j0 = first; j0 < whole; j0 += BLOCK) {
        const long j1 = at_most(whole, j0 + BLOCK);
        for (std::int32_t k0 = 0; k0 < ns; k0 += MS) {
            const int ms = static_cast<int>(at_most(MS, ns - k0));
            decode_speakers<Isa, MS>(ms, nc, in, q + k0, out + k0, j0, j1);
        }
    }
    decode_tail<Isa>(nc, ns, q, in, out, whole, n);
}

// A ready matrix: the loops of decode_vector without the coefficient work.
template <class Isa>
void decode_matrix(std::int32_t nc, std::int32_t ns, const float (*matrix)[MAX_CHANNELS],
                   const float* const* in, float* const* out, long n) {
    if (n <= 0)
        return;
    constexpr int MS = Isa::SPEAKER_TILE;
    constexpr long STEP = Isa::SAMPLE_TILE * Isa::LANES;
    constexpr long BLOCK = (512 + STEP - 1) / STEP * STEP;
    const long whole = n - n % Isa::LANES;
    for (long j0 = 0; j0 < whole; j0 += BLOCK) {
        const long j1 = at_most(whole, j0 + BLOCK);
        for (std::int32_t k0 = 0; k0 < ns; k0 += MS) {
            const int ms = static_cast<int>(at_most(MS, ns - k0));
            decode_speakers<Isa, MS>(ms, nc, in, matrix + k0, out + k0, j0, j1);
        }
    }
    decode_tail<Isa>(nc, ns, matrix, in, out, whole, n);
}

// One block of ENCODE_BLOCK input vectors from sample j, loaded, then stored scaled into each
// of CH channels.
template <class Isa, int CH>
[[gnu::always_inline]] inline void encode_block(const typename Isa::Vec* v, float* const* feed,
                                                const float* in, long j) {
    constexpr int L = Isa::LANES;
    constexpr int B = ENCODE_BLOCK;
    typename Isa::Vec x[B];
#pragma GCC unroll 4
    for (int t = 0; t < B; ++t)
        x[t] = Isa::load(in + j + t * L);
#pragma GCC unroll 16
    for (int i = 0; i < CH; ++i)
#pragma GCC unroll 4
        for (int t = 0; t < B; ++t)
            Isa::store(feed[i] + j + t * L, Isa::scale(x[t], v[i]));
}

// CH channels of the encoder in one pass over the input: each input vector loaded serves CH
// scaled copies, and each output vector is stored once. The input is loaded a block of
// ENCODE_BLOCK vectors ahead of the stores that use it: a load that follows a store to an
// address a multiple of 4 KB away waits for it, and outlets often lie so from the inlet.
template <class Isa, int CH>
[[gnu::always_inline]] inline void encode_channels(const float* weights, const float* in,
                                                   float* const* out, long n) {
    constexpr int L = Isa::LANES;
    constexpr int B = ENCODE_BLOCK;
    const long whole = n - n % L;
    float g[CH];
    typename Isa::Vec v[CH];
    float* feed[CH];
    // Broadcast straight from the caller's copy: a load, where a broadcast from a register
    // would take a slot of the ports that the multiplies and adds keep busy.
#pragma GCC unroll 16
    for (int i = 0; i < CH; ++i) {
        g[i] = weights[i];
        v[i] = Isa::splat(weights + i);
        feed[i] = out[i];
    }
    long j = 0;
    for (; j + B * L <= whole; j += B * L) {
        encode_block<Isa, CH>(v, feed, in, j);
    }
    for (; j < whole; j += L) {
        const typename Isa::Vec x = Isa::load(in + j);
#pragma GCC unroll 16
        for (int i = 0; i < CH; ++i)
            Isa::store(feed[i] + j, Isa::scale(x, v[i]));
    }
    // Added onto zero rather than stored: a zero weight gives +0 whatever the input's sign.
    for (; j < n; ++j)
#pragma GCC unroll 16
        for (int i = 0; i < CH; ++i)
            feed[i][j] = 0.0f + g[i] * in[j];
}

// The channels left after the whole passes, fewer than 2 * CH, in passes of CH, CH / 2, ... 1.
template <class Isa, int CH>
[[gnu::always_inline]] inline void encode_rest(std::int32_t rest, const float* weights,
                                               const float* in, float* const* out, long n) {
    if (rest >= CH) {
        encode_channels<Isa, CH>(weights, in, out, n);
        weights += CH;
        out += CH;
        rest -= CH;
    }
    if constexpr (CH > 1)
        encode_rest<Isa, CH / 2>(rest, weights, in, out, n);
}

// CH channels over n samples, n a positive multiple of whole blocks: a block's input loaded,
// then every channel's scaled copies of it stored, with no loop over channels and no tail.
template <class Isa, int CH>
[[gnu::always_inline]] inline void encode_blocks(const float* weights, const float* in,
                                                 float* const* out, long n) {
    constexpr int L = Isa::LANES;
    constexpr int B = ENCODE_BLOCK;
    typename Isa::Vec v[CH];
    float* feed[CH];
#pragma GCC unroll 16
    for (int i = 0; i < CH; ++i) {
        v[i] = Isa::splat(weights + i);
        feed[i] = out[i];
    }
    long j = 0;
    do {
        encode_block<Isa, CH>(v, feed, in, j);
        j += B * L;
    } while (j < n);
}

// NC channels in as few passes of at most Isa::ENCODE_PASS as will do, of sizes as even as
// they go (9 as 4 and 5 rather than 8 and 1: a pass of one channel stores too little per input
// load to keep the stores busy).
template <class Isa, int NC>
[[gnu::always_inline]] inline void encode_passes(const float* weights, const float* in,
                                                 float* const* out, long n) {
    constexpr int P = Isa::ENCODE_PASS;
    constexpr int PASSES = (NC + P - 1) / P;
    constexpr int FIRST = NC / PASSES;
    encode_blocks<Isa, FIRST>(weights, in, out, n);
    if constexpr (NC > FIRST)
        encode_passes<Isa, NC - FIRST>(weights + FIRST, in, out + FIRST, n);
}

// The encoder, Isa::ENCODE_PASS channels a pass, the input left in the first-level cache
// between passes. The formats' channel counts over whole blocks (every power-of-two vector
// from 64 samples up) take passes unrolled for their count: at 64 samples the loops and tails
// of the general case cost as much as a third of the call.
template <class Isa>
void encode_vector(std::int32_t nc, const float* weights, const float* in, float* const* out,
                   long n) {
    constexpr long BLOCK = ENCODE_BLOCK * Isa::LANES;
    if (n > 0 && n % BLOCK == 0) {
        switch (nc) {
        case 3:
            return encode_passes<Isa, 3>(weights, in, out, n);
        case 4:
            return encode_passes<Isa, 4>(weights, in, out, n);
        case 5:
            return encode_passes<Isa, 5>(weights, in, out, n);
        case 7:
            return encode_passes<Isa, 7>(weights, in, out, n);
        case 9:
            return encode_passes<Isa, 9>(weights, in, out, n);
        case 16:
            return encode_passes<Isa, 16>(weights, in, out, n);
        default:
            break;
        }
    }
    constexpr int P = Isa::ENCODE_PASS;
    std::int32_t c = 0;
    for (; c + P <= nc; c += P)
        encode_channels<Isa, P>(weights + c, in, out + c, n);
    encode_rest<Isa, P / 2>(nc - c, weights + c, in, out + c, n);
}

// --- The field rotator -----------------------------------------------------------------------

// Sample vectors of an S-channel block taken at once, up to four: each coefficient broadcast
// serves them all, within the registers. Held: S inputs a vector, the sums of one row and a
// coefficient. Ramped: besides, the share of each vector, its coefficients and two broadcasts.
// (Three vectors a tile measured 0.70 of the peak at 3-D third order against 0.48 with two.)
template <class Isa, int S, bool RAMP> constexpr int rotate_tile() {
    constexpr int fit =
        RAMP ? (Isa::VECTOR_REGISTERS - 2) / (S + 3) : (Isa::VECTOR_REGISTERS - 1) / (S + 1);
    return fit < 1 ? 1 : fit < 4 ? fit : 4;
}

// A tile's inputs, the S channels of a block over NJ vectors of samples from sample j, and
// where each of its S rows is written.
template <class Isa, int S, int NJ>
[[gnu::always_inline]] inline void rotate_tile_inputs(const float* const* x, float* const* y,
                                                      long j, typename Isa::Vec (&v)[S][NJ],
                                                      float* (&feed)[S]) {
    constexpr int L = Isa::LANES;
#pragma GCC unroll 8
    for (int k = 0; k < S; ++k)
#pragma GCC unroll 8
        for (int t = 0; t < NJ; ++t)
            v[k][t] = Isa::load(x[k] + j + t * L);
#pragma GCC unroll 8
    for (int r = 0; r < S; ++r)
        feed[r] = y[r] + j;
}

// Rows of an S-channel block over NJ vectors of samples from sample j, under coefficients held.
template <class Isa, int S, int NJ>
[[gnu::always_inline]] inline void rotate_tile_steady(const float* c, const float* const* x,
                                                      float* const* y, long j) {
    constexpr int L = Isa::LANES;
    typename Isa::Vec v[S][NJ];
    float* feed[S];
    rotate_tile_inputs<Isa, S, NJ>(x, y, j, v, feed);
#pragma GCC unroll 8
    for (int r = 0; r < S; ++r) {
        typename Isa::Vec acc[NJ];
        const typename Isa::Vec c0 = Isa::splat(c + r * S);
#pragma GCC unroll 8
        for (int t = 0; t < NJ; ++t)
            acc[t] = Isa::mulv(v[0][t], c0);
#pragma GCC unroll 8
        for (int k = 1; k < S; ++k) {
            const typename Isa::Vec ck = Isa::splat(c + r * S + k);
#pragma GCC unroll 8
            for (int t = 0; t < NJ; ++t)
                acc[t] = Isa::fmav(v[k][t], ck, acc[t]);
        }
#pragma GCC unroll 8
        for (int t = 0; t < NJ; ++t)
            Isa::store(feed[r] + t * L, acc[t]);
    }
}

template <class Isa, int S>
void rotate_block_steady(const float* c, const float* const* x, float* const* y, long n) {
    constexpr int L = Isa::LANES;
    constexpr int NJ = rotate_tile<Isa, S, false>();
    long j = 0;
    for (; j + NJ * L <= n; j += NJ * L)
        rotate_tile_steady<Isa, S, NJ>(c, x, y, j);
    if constexpr (NJ > 1)
        for (; j + L <= n; j += L)
            rotate_tile_steady<Isa, S, 1>(c, x, y, j);
    for (; j < n; ++j)
        for (int r = 0; r < S; ++r) {
            float acc = x[0][j] * c[r * S];
            for (int k = 1; k < S; ++k)
                acc = Isa::madd1(x[k][j], c[r * S + k], acc);
            y[r][j] = acc;
        }
}

// The same under coefficients to - d * t, from b = to and nd = -d, with t[i] for the tile's
// samples.
template <class Isa, int S, int NJ>
[[gnu::always_inline]] inline void rotate_tile_ramp(const float* b, const float* nd, const float* t,
                                                    const float* const* x, float* const* y,
                                                    long j) {
    constexpr int L = Isa::LANES;
    typename Isa::Vec v[S][NJ];
    float* feed[S];
    rotate_tile_inputs<Isa, S, NJ>(x, y, j, v, feed);
    typename Isa::Vec share[NJ];
#pragma GCC unroll 8
    for (int u = 0; u < NJ; ++u)
        share[u] = Isa::load(t + u * L);
#pragma GCC unroll 8
    for (int r = 0; r < S; ++r) {
        typename Isa::Vec acc[NJ];
        const typename Isa::Vec b0 = Isa::splat(b + r * S), d0 = Isa::splat(nd + r * S);
#pragma GCC unroll 8
        for (int u = 0; u < NJ; ++u)
            acc[u] = Isa::mulv(v[0][u], Isa::fmav(d0, share[u], b0));
#pragma GCC unroll 8
        for (int k = 1; k < S; ++k) {
            const typename Isa::Vec bk = Isa::splat(b + r * S + k);
            const typename Isa::Vec dk = Isa::splat(nd + r * S + k);
#pragma GCC unroll 8
            for (int u = 0; u < NJ; ++u)
                acc[u] = Isa::fmav(v[k][u], Isa::fmav(dk, share[u], bk), acc[u]);
        }
#pragma GCC unroll 8
        for (int u = 0; u < NJ; ++u)
            Isa::store(feed[r] + u * L, acc[u]);
    }
}

template <class Isa, int S>
void rotate_block_ramp(const float* from, const float* to, const float* const* x, float* const* y,
                       long begin, long end) {
    constexpr int L = Isa::LANES;
    constexpr int NJ = rotate_tile<Isa, S, true>();
    float nd[S * S];
    for (int i = 0; i < S * S; ++i)
        nd[i] = -(to[i] - from[i]);
    // The share of the way still to go: (length - 1) / length at the first sample, 0 at the
    // last. Counted in int: a vector is at most 16384 samples long.
    const int length = static_cast<int>(end - begin);
    const float step = 1.0f / static_cast<float>(length);
    alignas(64) float t[NJ * L];
    long j = begin;
    for (; j + NJ * L <= end; j += NJ * L) {
        for (int i = 0; i < NJ * L; ++i)
            t[i] = static_cast<float>(length - 1 - static_cast<int>(j - begin) - i) * step;
        rotate_tile_ramp<Isa, S, NJ>(to, nd, t, x, y, j);
    }
    if constexpr (NJ > 1)
        for (; j + L <= end; j += L) {
            for (int i = 0; i < L; ++i)
                t[i] = static_cast<float>(length - 1 - static_cast<int>(j - begin) - i) * step;
            rotate_tile_ramp<Isa, S, 1>(to, nd, t, x, y, j);
        }
    for (; j < end; ++j) {
        const float share = static_cast<float>(length - 1 - static_cast<int>(j - begin)) * step;
        for (int r = 0; r < S; ++r) {
            float acc = x[0][j] * Isa::madd1(nd[r * S], share, to[r * S]);
            for (int k = 1; k < S; ++k)
                acc = Isa::madd1(x[k][j], Isa::madd1(nd[r * S + k], share, to[r * S + k]), acc);
            y[r][j] = acc;
        }
    }
}

// The channels of one block, inputs and outputs, in the block's order.
struct RotationBlock {
    int size;
    const float* x[MAX_BLOCK];
    float* y[MAX_BLOCK];
};

inline RotationBlock rotation_block_of(std::int32_t order, std::int32_t dimension, std::int32_t m,
                                       const float* const* in, float* const* out, long offset) {
    int channels[MAX_BLOCK];
    RotationBlock b;
    b.size = rotation_block(order, dimension, m, channels);
    for (int k = 0; k < b.size; ++k) {
        b.x[k] = in[channels[k]] + offset;
        b.y[k] = out[channels[k]] + offset;
    }
    return b;
}

template <class Isa>
void rotate_steady(std::int32_t order, std::int32_t dimension, const float* coefficients,
                   const float* const* in, float* const* out, long n) {
    if (n <= 0)
        return;
    std::memcpy(out[0], in[0], static_cast<std::size_t>(n) * sizeof(float));
    const float* c = coefficients;
    for (std::int32_t m = 1; m <= order; ++m) {
        const RotationBlock b = rotation_block_of(order, dimension, m, in, out, 0);
        switch (b.size) {
        case 2:
            rotate_block_steady<Isa, 2>(c, b.x, b.y, n);
            break;
        case 3:
            rotate_block_steady<Isa, 3>(c, b.x, b.y, n);
            break;
        case 5:
            rotate_block_steady<Isa, 5>(c, b.x, b.y, n);
            break;
        default:
            rotate_block_steady<Isa, 7>(c, b.x, b.y, n);
            break;
        }
        c += b.size * b.size;
    }
}

// Blocks are handed pointers moved to `begin`, so their tiles count from 0.
template <class Isa>
void rotate_ramp(std::int32_t order, std::int32_t dimension, const float* from, const float* to,
                 const float* const* in, float* const* out, long begin, long end) {
    if (end <= begin)
        return;
    std::memcpy(out[0] + begin, in[0] + begin,
                static_cast<std::size_t>(end - begin) * sizeof(float));
    std::int32_t offset = 0;
    for (std::int32_t m = 1; m <= order; ++m) {
        const RotationBlock b = rotation_block_of(order, dimension, m, in, out, begin);
        const long n = end - begin;
        switch (b.size) {
        case 2:
            rotate_block_ramp<Isa, 2>(from + offset, to + offset, b.x, b.y, 0, n);
            break;
        case 3:
            rotate_block_ramp<Isa, 3>(from + offset, to + offset, b.x, b.y, 0, n);
            break;
        case 5:
            rotate_block_ramp<Isa, 5>(from + offset, to + offset, b.x, b.y, 0, n);
            break;
        default:
            rotate_block_ramp<Isa, 7>(from + offset, to + offset, b.x, b.y, 0, n);
            break;
        }
        offset += b.size * b.size;
    }
}

// The path's table. Every entry returns through Isa::leave, which clears what the caller's
// baseline code must not inherit (the upper halves of the wide registers).
template <class Isa> constexpr KernelTable kernel_table() {
    return {
        [](std::int32_t nc, std::int32_t ns, float gain, float width,
           const float(*rows)[MAX_CHANNELS], const float* channel_weights, const float* const* in,
           float* const* out, long n) {
            decode_vector<Isa>(nc, ns, gain, width, rows, channel_weights, in, out, n);
            Isa::leave();
        },
        [](std::int32_t nc, std::int32_t ns, const float(*matrix)[MAX_CHANNELS],
           const float* const* in, float* const* out, long n) {
            decode_matrix<Isa>(nc, ns, matrix, in, out, n);
            Isa::leave();
        },
        [](std::int32_t nc, std::int32_t ns, float gain, float width,
           const float(*rows)[MAX_CHANNELS], const float* channel_weights, float* w_coefficient,
           float(*coefficient)[MAX_CHANNELS]) {
            decode_coefficients<Isa>(nc, ns, gain, width, rows, channel_weights, w_coefficient,
                                     coefficient);
            Isa::leave();
        },
        [](std::int32_t nc, const float* weights, const float* in, float* const* out, long n) {
            encode_vector<Isa>(nc, weights, in, out, n);
            Isa::leave();
        },
        [](std::int32_t order, std::int32_t dimension, const float* coefficients,
           const float* const* in, float* const* out, long n) {
            rotate_steady<Isa>(order, dimension, coefficients, in, out, n);
            Isa::leave();
        },
        [](std::int32_t order, std::int32_t dimension, const float* from, const float* to,
           const float* const* in, float* const* out, long begin, long end) {
            rotate_ramp<Isa>(order, dimension, from, to, in, out, begin, end);
            Isa::leave();
        },
    };
}

} // namespace
} // namespace tovo::ambi
