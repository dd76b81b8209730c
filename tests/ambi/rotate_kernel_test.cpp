// SPDX-License-Identifier: GPL-3.0-or-later
// The rotator's loops, every path forced in turn: against the sum in double on random
// coefficients, inputs and vector lengths, and bit for bit against a scalar copy of the law
// (held coefficients, ramps that end exactly on their target), and the channel layout of every
// format.
#include "ambi/kernels.hpp"
#include "ambi/rotate_kernel.hpp"
#include "kernel_paths.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace tovo::ambi;

class RotatePath : public tovo::testing::KernelPathTest {
protected:
    RotateSteady steady() const { return kernel().rotate_steady; }
    RotateRamp ramp() const { return kernel().rotate_ramp; }
};

INSTANTIATE_TEST_SUITE_P(Kernels, RotatePath, ::testing::ValuesIn(tovo::testing::EVERY_KERNEL_PATH),
                         tovo::testing::kernel_path_test_name);

// The reference sums in double; the loops in single precision, in column order. Their difference
// is a few roundings of the terms' sizes.
constexpr double SUM_TOL = 1e-6;

struct Format {
    std::int32_t order, dimension;
    int channels() const { return 2 * order + 1 + (dimension == 3 ? order * order : 0); }
};
constexpr Format FORMATS[] = {{1, 2}, {2, 2}, {3, 2}, {1, 3}, {2, 3}, {3, 3}};

struct Signals {
    Signals(const Format& f, long n, std::mt19937& rng)
        : in(f.channels(), std::vector<float>(n)), out(f.channels(), std::vector<float>(n, 7.0f)) {
        std::uniform_real_distribution<float> u(-1, 1);
        for (auto& v : in)
            for (float& s : v)
                s = u(rng);
        point();
    }
    // Pointers to the vectors, after they were replaced.
    void point() {
        ins.clear();
        outs.clear();
        for (auto& v : in)
            ins.push_back(v.data());
        for (auto& v : out)
            outs.push_back(v.data());
    }
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> ins;
    std::vector<float*> outs;
};

std::vector<float> random_coefficients(std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-2, 2);
    std::vector<float> c(MAX_ROTATION_COEFFICIENTS);
    for (float& v : c)
        v = u(rng);
    return c;
}

// Sample j of every channel under coefficients c, summed in double; also the sum of the terms'
// sizes, which bounds the rounding.
void reference(const Format& f, const float* c, const Signals& s, long j, std::vector<double>& y,
               std::vector<double>& size) {
    y.assign(f.channels(), 0.0);
    size.assign(f.channels(), 0.0);
    y[0] = s.in[0][j];
    for (std::int32_t n = 1; n <= f.order; ++n) {
        int ch[MAX_BLOCK];
        const int b = rotation_block(f.order, f.dimension, n, ch);
        for (int r = 0; r < b; ++r)
            for (int k = 0; k < b; ++k) {
                const double term = double{c[r * b + k]} * s.in[ch[k]][j];
                y[ch[r]] += term;
                size[ch[r]] += std::fabs(term);
            }
        c += b * b;
    }
}

TEST_P(RotatePath, EveryChannelHasItsBlock) {
    // Identity blocks pass the field through unchanged, whatever the format: each channel is in
    // exactly one block, at its own place.
    std::mt19937 rng(1);
    for (const Format& f : FORMATS) {
        std::vector<float> identity(MAX_ROTATION_COEFFICIENTS, 0.0f);
        int offset = 0;
        for (std::int32_t n = 1; n <= f.order; ++n) {
            int ch[MAX_BLOCK];
            const int b = rotation_block(f.order, f.dimension, n, ch);
            for (int r = 0; r < b; ++r)
                identity[offset + r * b + r] = 1.0f;
            offset += b * b;
        }
        EXPECT_EQ(offset, rotation_coefficient_count(f.order, f.dimension));
        Signals s(f, 19, rng);
        steady()(f.order, f.dimension, identity.data(), s.ins.data(), s.outs.data(), 19);
        EXPECT_EQ(s.out, s.in) << f.order << " " << f.dimension;
    }
}

TEST_P(RotatePath, SteadyFollowsTheLaw) {
    std::mt19937 rng(2);
    std::vector<double> y, size;
    for (const Format& f : FORMATS)
        for (long n : {0L, 1L, 3L, 64L, 67L}) {
            const std::vector<float> c = random_coefficients(rng);
            Signals s(f, n, rng);
            steady()(f.order, f.dimension, c.data(), s.ins.data(), s.outs.data(), n);
            for (long j = 0; j < n; ++j) {
                reference(f, c.data(), s, j, y, size);
                EXPECT_EQ(s.out[0][j], s.in[0][j]); // W copied
                for (int ch = 1; ch < f.channels(); ++ch)
                    ASSERT_NEAR(s.out[ch][j], y[ch], SUM_TOL * size[ch])
                        << f.order << " " << f.dimension << " n " << n << " j " << j;
            }
        }
}

TEST_P(RotatePath, RampMovesEachCoefficientLinearlyOntoItsTarget) {
    std::mt19937 rng(3);
    std::vector<double> y, size;
    std::vector<float> c(MAX_ROTATION_COEFFICIENTS);
    for (const Format& f : FORMATS)
        for (auto [begin, end] : {std::pair{0L, 64L}, {5L, 6L}, {10L, 17L}, {0L, 1L}, {3L, 3L}}) {
            const std::vector<float> from = random_coefficients(rng);
            const std::vector<float> to = random_coefficients(rng);
            const long n = end + 2;
            Signals s(f, n, rng);
            ramp()(f.order, f.dimension, from.data(), to.data(), s.ins.data(), s.outs.data(), begin,
                   end);
            Signals held(f, n, rng);
            held.in = s.in;
            held.point();
            steady()(f.order, f.dimension, to.data(), held.ins.data(), held.outs.data(), n);
            for (long j = 0; j < n; ++j) {
                if (j < begin || j >= end) { // nothing outside the range is written
                    for (int ch = 0; ch < f.channels(); ++ch)
                        ASSERT_EQ(s.out[ch][j], 7.0f);
                    continue;
                }
                const double share = double(end - 1 - j) / double(end - begin);
                for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k)
                    c[k] = static_cast<float>(to[k] - (double{to[k]} - from[k]) * share);
                reference(f, c.data(), s, j, y, size);
                EXPECT_EQ(s.out[0][j], s.in[0][j]);
                for (int ch = 1; ch < f.channels(); ++ch)
                    ASSERT_NEAR(s.out[ch][j], y[ch], 2 * SUM_TOL * (size[ch] + 1))
                        << f.order << " " << f.dimension << " j " << j;
            }
            // The last sample of a ramp is the held target's, bit for bit.
            for (int ch = 0; end > begin && ch < f.channels(); ++ch)
                EXPECT_EQ(s.out[ch][end - 1], held.out[ch][end - 1]);
        }
}

// Sample j of block channel r, the law written out: the first column's term a product, each
// further column one fused step; a ramp's coefficient to - d * t is itself one fused step.
float law(const float* c, const float* from, int size, int r, const Signals& s, const int* ch,
          long j, float share) {
    auto coefficient = [&](int k) {
        const float to = c[r * size + k];
        return from ? std::fma(-(to - from[r * size + k]), share, to) : to;
    };
    float y = s.in[ch[0]][j] * coefficient(0);
    for (int k = 1; k < size; ++k)
        y = std::fma(s.in[ch[k]][j], coefficient(k), y);
    return y;
}

TEST_P(RotatePath, HeldAndRampedFollowTheFusedLawBitForBit) {
    std::mt19937 rng(4);
    for (const Format& f : FORMATS)
        for (auto [begin, end] : {std::pair{0L, 64L}, {0L, 67L}, {3L, 40L}, {5L, 6L}, {0L, 512L}}) {
            const std::vector<float> from = random_coefficients(rng);
            const std::vector<float> to = random_coefficients(rng);
            Signals held(f, end, rng), ramped(f, end, rng);
            ramped.in = held.in;
            ramped.point();
            steady()(f.order, f.dimension, to.data(), held.ins.data(), held.outs.data(), end);
            ramp()(f.order, f.dimension, from.data(), to.data(), ramped.ins.data(),
                   ramped.outs.data(), begin, end);
            const float step = 1.0f / static_cast<float>(end - begin);
            int offset = 0;
            for (std::int32_t m = 1; m <= f.order; ++m) {
                int ch[MAX_BLOCK];
                const int size = rotation_block(f.order, f.dimension, m, ch);
                for (int r = 0; r < size; ++r)
                    for (long j = begin; j < end; ++j) {
                        const float share = static_cast<float>(end - 1 - j) * step;
                        ASSERT_EQ(held.out[ch[r]][j],
                                  law(to.data() + offset, nullptr, size, r, held, ch, j, 0))
                            << f.order << " " << f.dimension << " j " << j;
                        ASSERT_EQ(ramped.out[ch[r]][j],
                                  law(to.data() + offset, from.data() + offset, size, r, ramped, ch,
                                      j, share))
                            << f.order << " " << f.dimension << " ramp " << begin << " " << end
                            << " j " << j;
                    }
                offset += size * size;
            }
        }
}

} // namespace
