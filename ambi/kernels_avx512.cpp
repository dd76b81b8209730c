// SPDX-License-Identifier: GPL-3.0-or-later
// The AVX-512 path: sixteen floats per vector, fused multiply-add. Built with -mavx512f -mfma and
// run only where kernel_path_supported(KERNEL_AVX512) holds.
#include "kernel_body.hpp"

#include <immintrin.h>

namespace tovo::ambi {
namespace {

struct Avx512 {
    static constexpr int LANES = 16;
    static constexpr int DOUBLE_LANES = 8;
    static constexpr int VECTOR_REGISTERS = 32;
    // 4 x 4 accumulators and 4 inputs of the 32 registers; the coefficient is broadcast from
    // memory by the multiply-add itself. A 64-sample vector is one tile wide.
    static constexpr int SPEAKER_TILE = 4;
    static constexpr int SAMPLE_TILE = 4;
    // The encoder's channels per pass: eight splat weights of the 32 registers. At 64 samples
    // and 16 channels it measured 0.76 of the store rate, sixteen 0.67, four slower still.
    static constexpr int ENCODE_PASS = 8;
    using In = __m512;
    using Coef = __m512;
    using Acc = __m512;
    using Vec = __m512;

    static In load_in(const float* p) { return _mm512_loadu_ps(p); }
    static Vec load(const float* p) { return _mm512_loadu_ps(p); }
    static Coef broadcast(const float* p) { return _mm512_set1_ps(*p); }
    static Vec splat(const float* p) { return _mm512_set1_ps(*p); }
    static Acc mul(In x, Coef a) { return _mm512_mul_ps(x, a); }
    static Acc madd(In x, Coef q, Acc acc) { return _mm512_fmadd_ps(x, q, acc); }
    static void store(float* p, Acc v) { _mm512_storeu_ps(p, v); }
    static Vec mulv(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
    static Vec fmav(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
    static Vec scale(Vec x, Vec g) {
        return _mm512_add_ps(_mm512_mul_ps(x, g), _mm512_setzero_ps());
    }
    static float madd1(float x, float q, float acc) {
        return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(x), _mm_set_ss(q), _mm_set_ss(acc)));
    }
    // Eight floats, each read whole.
    static __m256 gather(const float* p) {
        return _mm256_setr_ps(load_whole(p[0]), load_whole(p[1]), load_whole(p[2]),
                              load_whole(p[3]), load_whole(p[4]), load_whole(p[5]),
                              load_whole(p[6]), load_whole(p[7]));
    }
    // The zero-masked conversions below, every lane kept, are the plain ones; the plain
    // intrinsics trip a false "uninitialized" warning in this compiler's headers.
    // out[c] = p[c] widened to double, eight lanes at a time.
    static void widen(const float* p, int lanes, double* out) {
        for (int c = 0; c < lanes; c += DOUBLE_LANES)
            _mm512_store_pd(out + c, _mm512_maskz_cvtps_pd(0xff, gather(p + c)));
    }
    // out[c] = ((bg * row[c]) * weights[c]) rounded once, eight lanes at a time.
    static void coefficients(const float* row, const double* weights, double bg, int lanes,
                             float* out) {
        const __m512d scale = _mm512_set1_pd(bg);
        for (int c = 0; c < lanes; c += DOUBLE_LANES) {
            const __m512d product =
                _mm512_mul_pd(_mm512_mul_pd(scale, _mm512_maskz_cvtps_pd(0xff, gather(row + c))),
                              _mm512_load_pd(weights + c));
            _mm256_storeu_ps(out + c, _mm512_maskz_cvtpd_ps(0xff, product));
        }
    }
    // Back to baseline code with the upper halves of the wide registers clear: SSE instructions
    // that run while they are in use cost dearly on some cores, and the compiler does not clear
    // them on every way out.
    static void leave() { _mm256_zeroupper(); }
};

} // namespace

const KernelTable KERNELS_AVX512 = kernel_table<Avx512>();

} // namespace tovo::ambi
