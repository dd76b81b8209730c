// SPDX-License-Identifier: GPL-3.0-or-later
// The portable path: plain C++ that every architecture compiles, four floats to a vector as
// small arrays whose lane loops the compiler turns into its own vector instructions. The fused
// step is std::fma, one instruction wherever the CPU has one.
#include "kernel_body.hpp"

#include <cmath>

namespace tovo::ambi {
namespace {

struct Portable {
    static constexpr int LANES = 4;
    static constexpr int DOUBLE_LANES = 2;
    static constexpr int VECTOR_REGISTERS = 16;
    // 4 x 2 accumulators, 2 inputs and a coefficient: within the 16 registers of the smaller
    // vector units.
    static constexpr int SPEAKER_TILE = 4;
    static constexpr int SAMPLE_TILE = 2;
    // The encoder's channels per pass, as on the AVX2 path.
    static constexpr int ENCODE_PASS = 4;
    struct Vec {
        float lane[LANES];
    };
    using In = Vec;
    using Coef = float;
    using Acc = Vec;

    static Vec load(const float* p) {
        Vec v;
        for (int i = 0; i < LANES; ++i)
            v.lane[i] = p[i];
        return v;
    }
    static In load_in(const float* p) { return load(p); }
    static Coef broadcast(const float* p) { return *p; }
    static Vec splat(const float* p) {
        Vec v;
        for (int i = 0; i < LANES; ++i)
            v.lane[i] = *p;
        return v;
    }
    static Acc mul(In x, Coef a) {
        Acc r;
        for (int i = 0; i < LANES; ++i)
            r.lane[i] = x.lane[i] * a;
        return r;
    }
    static Acc madd(In x, Coef q, Acc acc) {
        for (int i = 0; i < LANES; ++i)
            acc.lane[i] = std::fma(x.lane[i], q, acc.lane[i]);
        return acc;
    }
    static void store(float* p, Acc v) {
        for (int i = 0; i < LANES; ++i)
            p[i] = v.lane[i];
    }
    static Vec mulv(Vec a, Vec b) {
        for (int i = 0; i < LANES; ++i)
            a.lane[i] *= b.lane[i];
        return a;
    }
    static Vec fmav(Vec a, Vec b, Vec c) {
        for (int i = 0; i < LANES; ++i)
            c.lane[i] = std::fma(a.lane[i], b.lane[i], c.lane[i]);
        return c;
    }
    static Vec scale(Vec x, Vec g) {
        Vec r;
        for (int i = 0; i < LANES; ++i)
            r.lane[i] = x.lane[i] * g.lane[i] + 0.0f;
        return r;
    }
    static float madd1(float x, float q, float acc) { return std::fma(x, q, acc); }
    // out[c] = p[c] widened to double, each read whole.
    static void widen(const float* p, int lanes, double* out) {
        for (int c = 0; c < lanes; ++c)
            out[c] = load_whole(p[c]);
    }
    // out[c] = ((bg * row[c]) * weights[c]) rounded once.
    static void coefficients(const float* row, const double* weights, double bg, int lanes,
                             float* out) {
        for (int c = 0; c < lanes; ++c)
            out[c] = static_cast<float>((bg * load_whole(row[c])) * weights[c]);
    }
    static void leave() {}
};

} // namespace

const KernelTable KERNELS_PORTABLE = kernel_table<Portable>();

} // namespace tovo::ambi
