// SPDX-License-Identifier: GPL-3.0-or-later
// The machine's own limits, for the benchmark to hold the kernels against: the single-precision
// fused multiply-add peak of one core with each vector width, and the first-level cache's store
// rate.
#pragma once

namespace tovo::bench {

// Run `rounds` rounds of a loop of independent fused multiply-adds; the result only keeps the
// loop alive. Multiply-adds per round: *_MADDS_PER_ROUND.
float fma_peak_avx2(long rounds);
float fma_peak_avx512(long rounds);
inline constexpr long AVX2_MADDS_PER_ROUND = 12 * 8;
inline constexpr long AVX512_MADDS_PER_ROUND = 24 * 16;

// Fill `floats` floats at p (a multiple of 128, aligned to 64 bytes) by the widest stores of
// each instruction set, `times` times over.
void store_sse2(float* p, long floats, long times);
void store_avx2(float* p, long floats, long times);
void store_avx512(float* p, long floats, long times);

} // namespace tovo::bench
