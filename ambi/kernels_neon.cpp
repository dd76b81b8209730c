// SPDX-License-Identifier: GPL-3.0-or-later
// The NEON path of aarch64: four floats per vector, fused multiply-add, 32 vector registers.
// Advanced SIMD is part of every aarch64 CPU, so this file needs no flags of its own.
#include "kernel_body.hpp"

#include <arm_neon.h>
#include <cmath>

namespace tovo::ambi {
namespace {

struct Neon {
    static constexpr int LANES = 4;
    static constexpr int DOUBLE_LANES = 2;
    static constexpr int VECTOR_REGISTERS = 32;
    // 4 x 4 accumulators, 4 inputs and a coefficient of the 32 registers: each input load
    // serves four speakers and each coefficient four vectors, as on the AVX-512 path.
    static constexpr int SPEAKER_TILE = 4;
    static constexpr int SAMPLE_TILE = 4;
    // The encoder's channels per pass, as on the AVX2 path.
    static constexpr int ENCODE_PASS = 4;
    using In = float32x4_t;
    using Coef = float32x4_t;
    using Acc = float32x4_t;
    using Vec = float32x4_t;

    static In load_in(const float* p) { return vld1q_f32(p); }
    static Vec load(const float* p) { return vld1q_f32(p); }
    static Coef broadcast(const float* p) { return vld1q_dup_f32(p); }
    static Vec splat(const float* p) { return vld1q_dup_f32(p); }
    static Acc mul(In x, Coef a) { return vmulq_f32(x, a); }
    // acc + x * q, rounded once.
    static Acc madd(In x, Coef q, Acc acc) { return vfmaq_f32(acc, x, q); }
    static void store(float* p, Acc v) { vst1q_f32(p, v); }
    static Vec mulv(Vec a, Vec b) { return vmulq_f32(a, b); }
    // a * b + c, rounded once.
    static Vec fmav(Vec a, Vec b, Vec c) { return vfmaq_f32(c, a, b); }
    static Vec scale(Vec x, Vec g) { return vaddq_f32(vmulq_f32(x, g), vdupq_n_f32(0.0f)); }
    static float madd1(float x, float q, float acc) { return std::fma(x, q, acc); }
    // Two floats, each read whole, widened to double.
    static float64x2_t gather(const float* p) {
        const float pair[2] = {load_whole(p[0]), load_whole(p[1])};
        return vcvt_f64_f32(vld1_f32(pair));
    }
    // out[c] = p[c] widened to double, two lanes at a time.
    static void widen(const float* p, int lanes, double* out) {
        for (int c = 0; c < lanes; c += DOUBLE_LANES)
            vst1q_f64(out + c, gather(p + c));
    }
    // out[c] = ((bg * row[c]) * weights[c]) rounded once, two lanes at a time.
    static void coefficients(const float* row, const double* weights, double bg, int lanes,
                             float* out) {
        const float64x2_t scale = vdupq_n_f64(bg);
        for (int c = 0; c < lanes; c += DOUBLE_LANES)
            vst1_f32(out + c, vcvt_f32_f64(vmulq_f64(vmulq_f64(scale, gather(row + c)),
                                                     vld1q_f64(weights + c))));
    }
    static void leave() {}
};

} // namespace

const KernelTable KERNELS_NEON = kernel_table<Neon>();

} // namespace tovo::ambi
