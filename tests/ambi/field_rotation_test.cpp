// SPDX-License-Identifier: GPL-3.0-or-later
// The field's rotation, held against the harmonics themselves: rotating an encoded direction
// gives the encoding of the turned direction, rotations compose and invert as their quaternions
// do, and a change is planned in steps that a linear blend can cross without losing level.
#include "ambi/field_rotation.hpp"
#include "ambi/weights.hpp"

#include "field_level.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace {

using namespace tovo;
using namespace tovo::ambi;

// The projection is exact; what is left is the rounding of double arithmetic.
constexpr double EXACT_TOL = 1e-12;
// A blend of two neighbouring rotations of a planned change may lose at most this much level.
constexpr double MAX_LOSS_DB = 0.1;

using Coefficients = std::array<double, MAX_ROTATION_COEFFICIENTS>;
using Field = std::array<double, MAX_CHANNELS>;

struct Format {
    std::int32_t order, dimension;
    int channels() const { return 2 * order + 1 + (dimension == 3 ? order * order : 0); }
};
constexpr Format FORMATS[] = {{1, 2}, {2, 2}, {3, 2}, {1, 3}, {2, 3}, {3, 3}};

Vector unit_vector(std::mt19937& rng) {
    std::normal_distribution<double> g;
    const Vector v{g(rng), g(rng), g(rng)};
    const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / n, v.y / n, v.z / n};
}

Quaternion unit_quat(std::mt19937& rng) {
    std::normal_distribution<double> g;
    Quaternion q{g(rng), g(rng), g(rng), g(rng)};
    quat_unit(q);
    return q;
}

// A turn of `rad` about the unit axis a.
Quaternion axis_quat(const Vector& a, double rad) {
    const double s = std::sin(rad / 2);
    return {std::cos(rad / 2), s * a.x, s * a.y, s * a.z};
}

Quaternion yaw_quat(double rad) {
    return axis_quat({0, 0, 1}, rad);
}

// The format's harmonics of a unit direction, W included, in double.
Field encode(const Format& f, const Vector& d) {
    Field h{};
    h[0] = std::numbers::sqrt2 / 2;
    harmonic_values(f.order, f.dimension, {d.x, d.y, d.z, d.x * d.x, d.y * d.y, d.z * d.z},
                    h.data());
    return h;
}

// The coefficients applied to a field as the kernel applies them.
Field apply(const Format& f, const double* c, const Field& in) {
    Field out{};
    out[0] = in[0];
    for (std::int32_t n = 1; n <= f.order; ++n) {
        int ch[MAX_BLOCK];
        const int s = rotation_block(f.order, f.dimension, n, ch);
        for (int r = 0; r < s; ++r)
            for (int k = 0; k < s; ++k)
                out[ch[r]] += c[r * s + k] * in[ch[k]];
        c += s * s;
    }
    return out;
}

Coefficients rotation(const Format& f, const Quaternion& q) {
    Coefficients c{};
    field_rotation(f.order, f.dimension, q, c.data());
    return c;
}

double max_diff(const Format& f, const Field& a, const Field& b) {
    double d = 0;
    for (int c = 0; c < f.channels(); ++c)
        d = std::max(d, std::fabs(a[c] - b[c]));
    return d;
}

TEST(FieldRotation, TurnsAnEncodedDirectionToTheTurnedDirection) {
    std::mt19937 rng(14);
    for (const Format& f : FORMATS) {
        for (int trial = 0; trial < 200; ++trial) {
            Vector d = unit_vector(rng);
            // 2-D fields follow a turn about z; any elevation keeps its cos^n scale.
            const Quaternion q = f.dimension == 3 ? unit_quat(rng) : yaw_quat(trial * 0.37 - 20);
            const Field turned = apply(f, rotation(f, q).data(), encode(f, d));
            const Field expected = encode(f, rotate_vector(quat_to_matrix(q), d));
            ASSERT_LT(max_diff(f, turned, expected), EXACT_TOL)
                << "order " << f.order << ", " << f.dimension << "-D, trial " << trial;
        }
    }
}

TEST(FieldRotation, TwoDimensionsFollowTheHeadingOfTheTurnedXAxis) {
    std::mt19937 rng(2);
    for (int order = 1; order <= 3; ++order) {
        const Format f{order, 2};
        for (int trial = 0; trial < 50; ++trial) {
            const Quaternion q = unit_quat(rng);
            const Vector x = rotate_vector(quat_to_matrix(q), {1, 0, 0});
            const Coefficients by_q = rotation(f, q);
            const Coefficients by_heading = rotation(f, yaw_quat(std::atan2(x.y, x.x)));
            for (int k = 0; k < rotation_coefficient_count(order, 2); ++k)
                ASSERT_NEAR(by_q[k], by_heading[k], EXACT_TOL);
        }
    }
    // Facing straight up, the x axis has no heading: the field takes the turn about z, here the
    // 30 degrees before the nose went up, not a heading made of rounding noise.
    const double deg = std::numbers::pi / 180;
    const Quaternion up = quat_multiply(yaw_quat(30 * deg), axis_quat({0, 1, 0}, -90 * deg));
    const Coefficients by_yaw = rotation({3, 2}, yaw_quat(30 * deg));
    const Coefficients facing_up = rotation({3, 2}, up);
    for (int k = 0; k < rotation_coefficient_count(3, 2); ++k)
        EXPECT_NEAR(facing_up[k], by_yaw[k], EXACT_TOL);
}

TEST(FieldRotation, ComposesAndInvertsAsQuaternionsDo) {
    std::mt19937 rng(7);
    for (const Format& f : FORMATS) {
        const bool flat = f.dimension == 2;
        for (int trial = 0; trial < 20; ++trial) {
            const Quaternion q = flat ? yaw_quat(trial * 0.9) : unit_quat(rng);
            const Quaternion p = flat ? yaw_quat(2.0 - trial * 0.4) : unit_quat(rng);
            const Field in = encode(f, unit_vector(rng));
            // q first, then p: the product p * q.
            const Field twice =
                apply(f, rotation(f, p).data(), apply(f, rotation(f, q).data(), in));
            EXPECT_LT(max_diff(f, twice, apply(f, rotation(f, quat_multiply(p, q)).data(), in)),
                      EXACT_TOL);
            const Quaternion reverse{q.w, -q.x, -q.y, -q.z};
            const Field back =
                apply(f, rotation(f, reverse).data(), apply(f, rotation(f, q).data(), in));
            EXPECT_LT(max_diff(f, back, in), EXACT_TOL);
        }
    }
    // The identity and quarter turns come out exact, with no rounding noise where zeros belong.
    const Coefficients identity = rotation({3, 3}, {1, 0, 0, 0});
    const Coefficients quarter = rotation({3, 3}, yaw_quat(std::numbers::pi / 2));
    for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k) {
        EXPECT_TRUE(identity[k] == 0.0 || std::fabs(identity[k] - 1.0) < EXACT_TOL) << k;
        EXPECT_TRUE(quarter[k] == 0.0 || std::fabs(quarter[k]) > 0.1) << k;
    }
}

// Level lost by the third-order block of coefficients `c` on a source at d.
double loss_db(const float* c, const Vector& d) {
    const Format f{3, 3};
    Coefficients exact{};
    for (int k = 0; k < rotation_coefficient_count(3, 3); ++k)
        exact[k] = c[k];
    return tovo::testing::third_order_loss_db(apply(f, exact.data(), encode(f, d)).data());
}

TEST(FieldRotation, AChangeIsPlannedInStepsABlendCanCross) {
    using Sets = float[MAX_ROTATION_STEPS][MAX_ROTATION_COEFFICIENTS];
    static Sets sets;
    const Quaternion still{1, 0, 0, 0};
    const double deg = std::numbers::pi / 180;
    // Up to 5 degrees in one step; beyond, one step per 5 degrees begun; a half turn in 36.
    struct Case {
        double turn_deg;
        int steps;
    };
    for (const Case c : {Case{0, 1}, Case{3, 1}, Case{5, 1}, Case{5.5, 2}, Case{30, 6},
                         Case{90, 18}, Case{180, 36}}) {
        const Quaternion to = axis_quat({0.6, 0, 0.8}, c.turn_deg * deg);
        EXPECT_EQ(plan_rotation_change(3, 3, still, to, sets), c.steps) << c.turn_deg;
        EXPECT_EQ(plan_rotation_change(3, 2, still, yaw_quat(c.turn_deg * deg), sets), c.steps)
            << c.turn_deg;
    }

    // Each blend of neighbours keeps its level within MAX_LOSS_DB, on sources all around.
    std::mt19937 rng(5);
    std::vector<Vector> sources;
    for (int k = 0; k < 64; ++k)
        sources.push_back(unit_vector(rng));
    const Quaternion from = unit_quat(rng);
    const Quaternion to = quat_multiply(axis_quat({0, 1, 0}, 170 * deg), from);
    const int steps = plan_rotation_change(3, 3, from, to, sets);
    EXPECT_EQ(steps, 34);
    Coefficients start = rotation({3, 3}, from);
    std::array<float, MAX_ROTATION_COEFFICIENTS> previous{};
    for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k)
        previous[k] = static_cast<float>(start[k]);
    double worst = 0;
    for (int s = 0; s < steps; ++s) {
        float mid[MAX_ROTATION_COEFFICIENTS];
        for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k)
            mid[k] = 0.5f * (previous[k] + sets[s][k]);
        for (const Vector& d : sources)
            worst = std::max(worst, loss_db(mid, d));
        std::copy(sets[s], sets[s] + MAX_ROTATION_COEFFICIENTS, previous.begin());
    }
    EXPECT_LT(worst, MAX_LOSS_DB);
    EXPECT_GT(worst, 0.03); // the blends do lose level: a step much larger would lose more
    // The last set is the new rotation itself.
    const Coefficients end = rotation({3, 3}, to);
    for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k)
        EXPECT_EQ(sets[steps - 1][k], static_cast<float>(end[k])) << k;

    // A 2-D change goes the short way round: from 170 to -170 degrees is 20 degrees, 4 steps,
    // through 175 and 180.
    EXPECT_EQ(plan_rotation_change(1, 2, yaw_quat(170 * deg), yaw_quat(-170 * deg), sets), 4);
    EXPECT_NEAR(sets[1][0], -1.0f, 1e-7f); // X from X at 180 degrees
}

} // namespace
