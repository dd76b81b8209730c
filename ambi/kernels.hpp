// SPDX-License-Identifier: GPL-3.0-or-later
// The signal kernels of the encoder and the decoder, built once per instruction set: plain C++
// on every architecture; baseline x86-64, AVX2 with fused multiply-add and AVX-512 on x86-64;
// NEON on aarch64. Every path gives the same samples. A plug-in takes its path at "dsp" time:
// the fastest this CPU runs, unless TOVO_KERNEL names another.
#pragma once

#include "weights.hpp"

#include <cstdint>

namespace tovo::ambi {

inline constexpr int MAX_SPEAKERS = 32;

// Every path has a number on every architecture, so tables of perform routines list them all
// (one entry per path, in this order); a path is built only where its instructions exist.
enum KernelPath : std::int32_t {
    KERNEL_BASELINE,
    KERNEL_AVX2,
    KERNEL_AVX512,
    KERNEL_PORTABLE,
    KERNEL_NEON
};
inline constexpr int KERNEL_PATH_COUNT = 5;

#if defined(__x86_64__)
#define TOVO_KERNELS_X86 1
#elif defined(__aarch64__)
#define TOVO_KERNELS_NEON 1
#endif

// The decoding law over one vector: every speaker feed is the W channel under a coefficient
// shared by all speakers, plus each other channel under the product of the gain, the width, the
// channel's harmonic at the speaker and its flavour weight. Each coefficient is formed in double
// and rounded once to single precision; each step adds one channel by one single-precision fused
// multiply-add, channels in rising order after the W term.
// rows: a row of 16 harmonics per speaker, entry [k][c] for c from 1 (entry 0 unused);
// channel_weights: 16 floats in channel order; in: channel_count input vectors; out:
// speaker_count output vectors of n samples, none of them an input vector. The pointer arrays
// are read as the loops go, so a perform routine hands its own copies, made once per vector.
// rows and channel_weights may be written meanwhile: each entry is read once, whole, per vector.
using DecodeVector = void (*)(std::int32_t channel_count, std::int32_t speaker_count, float gain,
                              float width, const float (*rows)[MAX_CHANNELS],
                              const float* channel_weights, const float* const* in,
                              float* const* out, long n);

// The encoder over one vector: out[c][j] = 0 + weights[c] * in[j] for c below channel_count (a
// zero weight gives +0 whatever the sign of the input). weights: 16 floats in channel order, the
// caller's own copy, not written while the kernel runs (the encoder's perform routine hands the
// copy it takes after a change); no output vector is the input vector.
using EncodeVector = void (*)(std::int32_t channel_count, const float* weights, const float* in,
                              float* const* out, long n);

// The decoder's coefficients alone, as decode_vector forms them once per vector: the W
// coefficient into *w_coefficient and coefficient[k][c] for c from 1 (the timing of this share of
// the work is measured on its own).
using DecodeCoefficients = void (*)(std::int32_t channel_count, std::int32_t speaker_count,
                                    float gain, float width, const float (*rows)[MAX_CHANNELS],
                                    const float* channel_weights, float* w_coefficient,
                                    float (*coefficient)[MAX_CHANNELS]);

// A decoding matrix over one vector: out[k] = sum over c of matrix[k][c] * in[c], for c from 0
// to channel_count - 1: the W term a product, each further channel one single-precision fused
// multiply-add, channels in rising order. decode_vector is this with its coefficients in the
// matrix (the W coefficient in every row's entry 0), so both give the same samples. The matrix
// is read as the loops go: hand it whole, not while a handler writes it.
using DecodeMatrix = void (*)(std::int32_t channel_count, std::int32_t speaker_count,
                              const float (*matrix)[MAX_CHANNELS], const float* const* in,
                              float* const* out, long n);

// The field rotator over samples [0, n) of every channel: out W = in W; each other channel is its
// block's row of coefficients times the block's inputs (rotate_kernel.hpp has the layout): the
// first column's term a product, each further column one single-precision fused multiply-add, in
// column order. in, out: channel_count vectors each, in channel order; no output vector is an
// input vector. The coefficients are read as the loops go: hand them whole.
using RotateSteady = void (*)(std::int32_t order, std::int32_t dimension,
                              const float* coefficients, const float* const* in,
                              float* const* out, long n);

// Samples [begin, end) of every channel under coefficients that move linearly from `from` to
// `to`: at sample j the coefficient is to - d * t, with d = to - from and
// t = (end - 1 - j) * (1 / (end - begin)), each rounded to single precision, and to - d * t one
// fused step; so the last sample has `to` exactly. Otherwise as RotateSteady.
using RotateRamp = void (*)(std::int32_t order, std::int32_t dimension, const float* from,
                            const float* to, const float* const* in, float* const* out,
                            long begin, long end);

// The entry points of one instruction set. Each path's file defines its table and nothing else
// with external linkage; a new kernel is one member here and one template in kernel_body.hpp.
struct KernelTable {
    DecodeVector decode_vector;
    DecodeMatrix decode_matrix;
    DecodeCoefficients decode_coefficients;
    EncodeVector encode_vector;
    RotateSteady rotate_steady;
    RotateRamp rotate_ramp;
};

extern const KernelTable KERNELS_PORTABLE;
#if TOVO_KERNELS_X86
extern const KernelTable KERNELS_BASELINE;
extern const KernelTable KERNELS_AVX2;
extern const KernelTable KERNELS_AVX512;
#endif
#if TOVO_KERNELS_NEON
extern const KernelTable KERNELS_NEON;
#endif

// By path. Calling into a path that kernel_path_supported denies is an illegal instruction; a
// path not built for this architecture gives the portable table.
inline const KernelTable& kernels(KernelPath path) {
#if TOVO_KERNELS_X86
    static constexpr const KernelTable* TABLES[KERNEL_PATH_COUNT] = {
        &KERNELS_BASELINE, &KERNELS_AVX2, &KERNELS_AVX512, &KERNELS_PORTABLE, &KERNELS_PORTABLE};
#elif TOVO_KERNELS_NEON
    static constexpr const KernelTable* TABLES[KERNEL_PATH_COUNT] = {
        &KERNELS_PORTABLE, &KERNELS_PORTABLE, &KERNELS_PORTABLE, &KERNELS_PORTABLE, &KERNELS_NEON};
#else
    static constexpr const KernelTable* TABLES[KERNEL_PATH_COUNT] = {
        &KERNELS_PORTABLE, &KERNELS_PORTABLE, &KERNELS_PORTABLE, &KERNELS_PORTABLE,
        &KERNELS_PORTABLE};
#endif
    return *TABLES[path];
}

// "baseline", "avx2", "avx512", "portable", "neon".
const char* kernel_path_name(KernelPath path);

// Whether this CPU, and the system's saving of its registers, runs the path.
bool kernel_path_supported(KernelPath path);

// The fastest path this CPU runs that is no faster than the one named by `request` (a path name;
// null, an unknown name or the name of another architecture's path asks for the fastest). The
// portable path is the slowest of every architecture: it is taken only when named, or where
// nothing faster is built.
KernelPath choose_kernel_path(const char* request);

// The path of this process: choose_kernel_path of the environment variable TOVO_KERNEL, read
// once, at the first call.
KernelPath kernel_path();

} // namespace tovo::ambi
