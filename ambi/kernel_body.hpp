// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder's and decoder's loops, written once over a few vector operations. Each
// instruction-set file defines those operations and includes this under its own compiler flags.
// Everything here has internal linkage (hence the unnamed namespace in a header): a copy built
// for one instruction set can never stand in for another's at link time.
#pragma once

#include "kernels.hpp"

#include <cstdint>

namespace tovo::ambi {
namespace { // NOLINT(cert-dcl59-cpp,google-build-namespaces): one copy per instruction set

// One relaxed load, as load_relaxed (<tovo/relaxed.hpp>) does it, spelled with the builtin so
// that no shared inline function is compiled under this file's flags.
[[gnu::always_inline]] inline float load_whole(const float& value) {
    float v;
    __atomic_load(&value, &v, __ATOMIC_RELAXED);
    return v;
}

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
[[gnu::always_inline]] inline void decode_last_tile(int vectors, std::int32_t nc,
                                                    const float* const* in,
                                                    const float (*q)[MAX_CHANNELS],
                                                    float* const* out, long j) {
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

// CH channels of the encoder in one pass over the input: each input vector loaded serves CH
// scaled copies, and each output vector is stored once.
template <class Isa, int CH>
[[gnu::always_inline]] inline void encode_channels(const float* weights, const float* in,
                                                   float* const* out, long n) {
    constexpr int L = Isa::LANES;
    const long whole = n - n % L;
    float g[CH];
    typename Isa::Vec v[CH];
    float* feed[CH];
#pragma GCC unroll 4
    for (int i = 0; i < CH; ++i) {
        g[i] = load_whole(weights[i]);
        v[i] = Isa::splat(&g[i]);
        feed[i] = out[i];
    }
    long j = 0;
#pragma GCC unroll 2
    for (; j < whole; j += L) {
        const typename Isa::Vec x = Isa::load(in + j);
#pragma GCC unroll 4
        for (int i = 0; i < CH; ++i)
            Isa::store(feed[i] + j, Isa::scale(x, v[i]));
    }
    // Added onto zero rather than stored: a zero weight gives +0 whatever the input's sign.
    for (; j < n; ++j)
#pragma GCC unroll 4
        for (int i = 0; i < CH; ++i)
            feed[i][j] = 0.0f + g[i] * in[j];
}

// The encoder, four channels a pass (measured faster than one, two or eight), the input left in
// the first-level cache between passes.
template <class Isa>
void encode_vector(std::int32_t nc, const float* weights, const float* in, float* const* out,
                   long n) {
    std::int32_t c = 0;
    for (; c + 4 <= nc; c += 4)
        encode_channels<Isa, 4>(weights + c, in, out + c, n);
    if (c + 2 <= nc) {
        encode_channels<Isa, 2>(weights + c, in, out + c, n);
        c += 2;
    }
    if (c < nc)
        encode_channels<Isa, 1>(weights + c, in, out + c, n);
}

// The path's table. Every entry returns through Isa::leave, which clears what the caller's
// baseline code must not inherit (the upper halves of the wide registers).
template <class Isa> constexpr KernelTable kernel_table() {
    return {
        [](std::int32_t nc, std::int32_t ns, float gain, float width,
           const float (*rows)[MAX_CHANNELS], const float* channel_weights, const float* const* in,
           float* const* out, long n) {
            decode_vector<Isa>(nc, ns, gain, width, rows, channel_weights, in, out, n);
            Isa::leave();
        },
        [](std::int32_t nc, std::int32_t ns, const float (*matrix)[MAX_CHANNELS],
           const float* const* in, float* const* out, long n) {
            decode_matrix<Isa>(nc, ns, matrix, in, out, n);
            Isa::leave();
        },
        [](std::int32_t nc, std::int32_t ns, float gain, float width,
           const float (*rows)[MAX_CHANNELS], const float* channel_weights, float* w_coefficient,
           float (*coefficient)[MAX_CHANNELS]) {
            decode_coefficients<Isa>(nc, ns, gain, width, rows, channel_weights, w_coefficient,
                                     coefficient);
            Isa::leave();
        },
        [](std::int32_t nc, const float* weights, const float* in, float* const* out, long n) {
            encode_vector<Isa>(nc, weights, in, out, n);
            Isa::leave();
        },
    };
}

} // namespace
} // namespace tovo::ambi
