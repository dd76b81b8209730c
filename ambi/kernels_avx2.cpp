// SPDX-License-Identifier: GPL-3.0-or-later
// The AVX2 path: eight floats per vector, fused multiply-add. Built with -mavx2 -mfma and run
// only where kernel_path_supported(KERNEL_AVX2) holds.
#include "kernel_body.hpp"

#include <immintrin.h>

namespace tovo::ambi {
namespace {

struct Avx2 {
    static constexpr int LANES = 8;
    static constexpr int DOUBLE_LANES = 4;
    static constexpr int VECTOR_REGISTERS = 16;
    // 4 x 3 accumulators, 3 inputs and a coefficient: the 16 registers. Measured against 4 x 2,
    // 5 x 2, 6 x 2 and 3 x 4 on every benchmark shape, it was the fastest on each.
    static constexpr int SPEAKER_TILE = 4;
    static constexpr int SAMPLE_TILE = 3;
    // The encoder's channels per pass (measured faster than one, two or eight).
    static constexpr int ENCODE_PASS = 4;
    using In = __m256;
    using Coef = __m256;
    using Acc = __m256;
    using Vec = __m256;

    static In load_in(const float* p) { return _mm256_loadu_ps(p); }
    static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    static Coef broadcast(const float* p) { return _mm256_broadcast_ss(p); }
    static Vec splat(const float* p) { return _mm256_broadcast_ss(p); }
    static Acc mul(In x, Coef a) { return _mm256_mul_ps(x, a); }
    static Acc madd(In x, Coef q, Acc acc) { return _mm256_fmadd_ps(x, q, acc); }
    static void store(float* p, Acc v) { _mm256_storeu_ps(p, v); }
    static Vec mulv(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    static Vec fmav(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
    static Vec scale(Vec x, Vec g) {
        return _mm256_add_ps(_mm256_mul_ps(x, g), _mm256_setzero_ps());
    }
    static float madd1(float x, float q, float acc) {
        return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(x), _mm_set_ss(q), _mm_set_ss(acc)));
    }
    // Four floats, each read whole.
    static __m128 gather(const float* p) {
        return _mm_setr_ps(load_whole(p[0]), load_whole(p[1]), load_whole(p[2]), load_whole(p[3]));
    }
    // out[c] = p[c] widened to double, four lanes at a time.
    static void widen(const float* p, int lanes, double* out) {
        for (int c = 0; c < lanes; c += DOUBLE_LANES)
            _mm256_store_pd(out + c, _mm256_cvtps_pd(gather(p + c)));
    }
    // out[c] = ((bg * row[c]) * weights[c]) rounded once, four lanes at a time.
    static void coefficients(const float* row, const double* weights, double bg, int lanes,
                             float* out) {
        const __m256d scale = _mm256_set1_pd(bg);
        for (int c = 0; c < lanes; c += DOUBLE_LANES) {
            const __m256d product =
                _mm256_mul_pd(_mm256_mul_pd(scale, _mm256_cvtps_pd(gather(row + c))),
                              _mm256_load_pd(weights + c));
            _mm_storeu_ps(out + c, _mm256_cvtpd_ps(product));
        }
    }
    // Back to baseline code with the upper halves of the wide registers clear: SSE instructions
    // that run while they are in use cost dearly on some cores, and the compiler does not clear
    // them on every way out.
    static void leave() { _mm256_zeroupper(); }
};

} // namespace

const KernelTable KERNELS_AVX2 = kernel_table<Avx2>();

} // namespace tovo::ambi
