// SPDX-License-Identifier: GPL-3.0-or-later
// The peak and store loops, each built for its instruction set by a target attribute and run
// only where the CPU has it. Enough independent chains to cover the latency of a multiply-add
// on every core of interest (four cycles, two issued per cycle).
#include "bench/limits.hpp"

#include <immintrin.h>

namespace tovo::bench {

__attribute__((target("avx2,fma"))) float fma_peak_avx2(long rounds) {
    constexpr int CHAINS = 12;
    // x -> x/2 + 1/2 settles at 1: no overflow, no subnormals.
    const __m256 half = _mm256_set1_ps(0.5f);
    __m256 acc[CHAINS];
    for (int i = 0; i < CHAINS; ++i)
        acc[i] = _mm256_set1_ps(static_cast<float>(i));
    for (long r = 0; r < rounds; ++r) {
#pragma GCC unroll 12
        for (int i = 0; i < CHAINS; ++i)
            acc[i] = _mm256_fmadd_ps(acc[i], half, half);
    }
    __m256 sum = acc[0];
    for (int i = 1; i < CHAINS; ++i)
        sum = _mm256_add_ps(sum, acc[i]);
    return _mm256_cvtss_f32(sum);
}

__attribute__((target("avx512f"))) float fma_peak_avx512(long rounds) {
    constexpr int CHAINS = 24;
    const __m512 half = _mm512_set1_ps(0.5f);
    __m512 acc[CHAINS];
    for (int i = 0; i < CHAINS; ++i)
        acc[i] = _mm512_set1_ps(static_cast<float>(i));
    for (long r = 0; r < rounds; ++r) {
#pragma GCC unroll 24
        for (int i = 0; i < CHAINS; ++i)
            acc[i] = _mm512_fmadd_ps(acc[i], half, half);
    }
    __m512 sum = acc[0];
    for (int i = 1; i < CHAINS; ++i)
        sum = _mm512_add_ps(sum, acc[i]);
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, sum);
    return lanes[0] + lanes[15];
}

void store_sse2(float* p, long floats, long times) {
    const __m128 v = _mm_set1_ps(1.0f);
    for (long t = 0; t < times; ++t) {
        for (long j = 0; j < floats; j += 32) {
#pragma GCC unroll 8
            for (int u = 0; u < 8; ++u)
                _mm_store_ps(p + j + 4 * u, v);
        }
        asm volatile("" : : "r"(p) : "memory");
    }
}

__attribute__((target("avx2"))) void store_avx2(float* p, long floats, long times) {
    const __m256 v = _mm256_set1_ps(1.0f);
    for (long t = 0; t < times; ++t) {
        for (long j = 0; j < floats; j += 64) {
#pragma GCC unroll 8
            for (int u = 0; u < 8; ++u)
                _mm256_store_ps(p + j + 8 * u, v);
        }
        asm volatile("" : : "r"(p) : "memory");
    }
}

__attribute__((target("avx512f"))) void store_avx512(float* p, long floats, long times) {
    const __m512 v = _mm512_set1_ps(1.0f);
    for (long t = 0; t < times; ++t) {
        for (long j = 0; j < floats; j += 128) {
#pragma GCC unroll 8
            for (int u = 0; u < 8; ++u)
                _mm512_store_ps(p + j + 16 * u, v);
        }
        asm volatile("" : : "r"(p) : "memory");
    }
}

} // namespace tovo::bench
