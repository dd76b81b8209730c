// SPDX-License-Identifier: GPL-3.0-or-later
// The quaternion conventions at their edge values: reading atoms, the normalisation band and
// small-length rule, product order, the matrix and how it turns a vector.
#include "rotation/quaternion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>

namespace {

using namespace tovo;
using tovo::host::Atom;

constexpr double EXACT = 1e-15;
constexpr double PRODUCT = 1e-12; // a few roundings of unit-sized terms

Atom f(float v) {
    Atom a;
    host::atom_setfloat(&a, v);
    return a;
}
Atom i(std::int32_t v) {
    Atom a;
    host::atom_setlong(&a, v);
    return a;
}
Atom sym() {
    static host::Symbol word{"foo"};
    Atom a;
    host::atom_setsym(&a, &word);
    return a;
}

void expect_quat(const Quaternion& q, double w, double x, double y, double z, double tol) {
    EXPECT_NEAR(q.w, w, tol);
    EXPECT_NEAR(q.x, x, tol);
    EXPECT_NEAR(q.y, y, tol);
    EXPECT_NEAR(q.z, z, tol);
}

Quaternion normalized(Quaternion q) {
    quat_normalize(q);
    return q;
}

Quaternion random_unit(std::mt19937& rng) {
    std::normal_distribution<double> n;
    Quaternion q{n(rng), n(rng), n(rng), n(rng)};
    const double s = 1.0 / std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    return {q.w * s, q.x * s, q.y * s, q.z * s};
}

TEST(Atoms, NumbersReadAsDoublesAndSymbolsAsZero) {
    EXPECT_EQ(atom_to_double(f(0.1f)), static_cast<double>(0.1f)); // widened, not re-rounded
    EXPECT_EQ(atom_to_double(i(-7)), -7.0);
    EXPECT_EQ(atom_to_double(sym()), 0.0);
}

TEST(Atoms, QuaternionFillsMissingWithZeroAndIgnoresSurplus) {
    expect_quat(quat_from_atoms(0, nullptr), 0, 0, 0, 0, 0);
    const Atom five[] = {i(1), sym(), f(3), i(4), i(5)};
    expect_quat(quat_from_atoms(5, five), 1, 0, 3, 4, 0);
    expect_quat(quat_from_atoms(2, five), 1, 0, 0, 0, 0);
}

TEST(Atoms, UpdateReplacesOnlyTheComponentsGiven) {
    Quaternion q{0.5, 0.5, 0.5, 0.5};
    quat_update_from_atoms(0, nullptr, q);
    expect_quat(q, 0.5, 0.5, 0.5, 0.5, 0);
    quat_update_from_atoms(-3, nullptr, q); // a negative count reads nothing
    expect_quat(q, 0.5, 0.5, 0.5, 0.5, 0);
    const Atom two[] = {f(2), sym()};
    quat_update_from_atoms(1, two, q);
    expect_quat(q, 2, 0.5, 0.5, 0.5, 0);
    quat_update_from_atoms(2, two, q);
    expect_quat(q, 2, 0, 0.5, 0.5, 0);
}

TEST(Atoms, VectorTakesThreeComponents) {
    const Atom four[] = {i(2), f(3), sym(), i(9)};
    const Vector v = vector_from_atoms(4, four);
    EXPECT_EQ(v.x, 2);
    EXPECT_EQ(v.y, 3);
    EXPECT_EQ(v.z, 0);
    EXPECT_EQ(vector_from_atoms(1, four).y, 0);
}

TEST(Atoms, OutputListsAreSinglePrecisionFloats) {
    Atom out[4] = {i(9), i(9), i(9), i(9)};
    atoms_set_floats(out, {0.1, -0.0, 1e-50});
    EXPECT_EQ(out[0].a_type, host::A_FLOAT);
    EXPECT_EQ(out[0].a_w.w_float, 0.1f);
    EXPECT_TRUE(std::signbit(out[1].a_w.w_float));
    EXPECT_EQ(out[2].a_w.w_float, 0.0f);
    EXPECT_EQ(out[3].a_type, host::A_LONG); // untouched past the values given

    const Atom args[] = {i(2), sym(), f(0.5f), i(7), i(8)};
    atoms_set_floats(out, {1, 0, 0, 0});
    atoms_update_floats(2, args, out, 4);
    EXPECT_EQ(out[0].a_w.w_float, 2.0f);
    EXPECT_EQ(out[1].a_w.w_float, 0.0f);
    EXPECT_EQ(out[2].a_w.w_float, 0.0f); // no argument: keeps its value
    atoms_update_floats(5, args, out, 3);
    EXPECT_EQ(out[2].a_w.w_float, 0.5f);
    EXPECT_EQ(out[3].a_w.w_float, 0.0f); // beyond n
}

TEST(Normalize, VanishingQuaternionsBecomeTheIdentity) {
    expect_quat(normalized({0, 0, 0, 0}), 1, 0, 0, 0, 0);
    // n = 0.0008, n * n = 6.4e-7: below the limit
    expect_quat(normalized({0.02, 0.02, 0, 0}), 1, 0, 0, 0, 0);
    // n = 0.0018, n * n = 3.24e-6: long enough to keep its direction
    expect_quat(normalized({0.03, 0.03, 0, 0}), std::sqrt(0.5), std::sqrt(0.5), 0, 0, EXACT);
    // the limit is on n * n: n just above 0.001 keeps its direction, just below it does not
    expect_quat(normalized({0, std::sqrt(0.0010001), 0, 0}), 0, 1, 0, 0, EXACT);
    expect_quat(normalized({0, std::sqrt(0.0009999), 0, 0}), 1, 0, 0, 0, 0);
}

TEST(Normalize, RescalesOutsideTheBandOnlyAndKeepsTheSign) {
    expect_quat(normalized({2, 0, 0, 0}), 1, 0, 0, 0, 0);
    expect_quat(normalized({-2, 0, 0, 0}), -1, 0, 0, 0, 0);
    expect_quat(normalized({1, 2, 3, 4}), 1 / std::sqrt(30.0), 2 / std::sqrt(30.0),
                3 / std::sqrt(30.0), 4 / std::sqrt(30.0), EXACT);
    // inside the band 0.999999..1.000001 nothing is rescaled
    for (double w : {1.0000004, 0.9999996, std::sqrt(1.00000099), std::sqrt(0.99999901)}) {
        Quaternion q{w, 0, 0, 0};
        quat_normalize(q);
        EXPECT_EQ(q.w, w) << w;
    }
    for (double w : {std::sqrt(1.0000011), std::sqrt(0.9999989)}) {
        Quaternion q{w, 0, 0, 0};
        quat_normalize(q);
        EXPECT_NEAR(q.w, 1.0, EXACT) << w;
    }
}

TEST(Normalize, NotANumberIsLeftAsItIs) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Quaternion q{nan, 2, 0, 0};
    quat_normalize(q);
    EXPECT_TRUE(std::isnan(q.w));
    EXPECT_EQ(q.x, 2);
}

TEST(Multiply, IdentityAndHamiltonRules) {
    const Quaternion one{1, 0, 0, 0}, i{0, 1, 0, 0}, j{0, 0, 1, 0}, k{0, 0, 0, 1};
    const Quaternion b{0.3, -0.2, 5, 7};
    expect_quat(quat_multiply(one, b), 0.3, -0.2, 5, 7, 0);
    expect_quat(quat_multiply(b, one), 0.3, -0.2, 5, 7, 0);
    expect_quat(quat_multiply(i, i), -1, 0, 0, 0, 0);
    expect_quat(quat_multiply(i, j), 0, 0, 0, 1, 0);                       // ij = k
    expect_quat(quat_multiply(j, i), 0, 0, 0, -1, 0);                      // ji = -k
    expect_quat(quat_multiply(j, k), 0, 1, 0, 0, 0);                       // jk = i
    expect_quat(quat_multiply(k, i), 0, 0, 1, 0, 0);                       // ki = j
    expect_quat(quat_multiply({2, 0, 0, 0}, {3, 0, 0, 0}), 6, 0, 0, 0, 0); // no normalising
}

TEST(Multiply, HeldOrientationIsTheLeftFactor) {
    const double h = 0.7071068;
    // a quarter turn about x, then about z composed into it
    expect_quat(quat_multiply({h, h, 0, 0}, {h, 0, 0, h}), 0.5, 0.5, -0.5, 0.5, 1e-7);
    expect_quat(quat_multiply({h, 0, 0, h}, {h, h, 0, 0}), 0.5, 0.5, 0.5, 0.5, 1e-7);
}

TEST(Matrix, RowMajorWithDiagonalAsOneMinusSquares) {
    const RotationMatrix identity = quat_to_matrix({1, 0, 0, 0});
    for (int e = 0; e < 16; ++e)
        EXPECT_EQ(identity.m[e], e % 5 == 0 ? 1.0 : 0.0) << e;
    // a non-unit quaternion is no scaled rotation: w = 2 alone still gives the identity
    EXPECT_EQ(quat_to_matrix({2, 0, 0, 0}).m[0], 1.0);
    EXPECT_EQ(quat_to_matrix({0, 0, 0, 0}).m[10], 1.0);
    const double rows[16] = {1, 0, 0, 0, 0, -1, -4, 0, 0, 4, -1, 0, 0, 0, 0, 1};
    const RotationMatrix m = quat_to_matrix({2, 1, 0, 0});
    for (int e = 0; e < 16; ++e)
        EXPECT_EQ(m.m[e], rows[e]) << e;
}

TEST(Matrix, TurnsColumnVectorsRightHanded) {
    const double h = std::sqrt(0.5);
    const Vector a = rotate_vector(quat_to_matrix({h, 0, 0, h}), {1, 0, 0});
    EXPECT_NEAR(a.x, 0, EXACT);
    EXPECT_NEAR(a.y, 1, EXACT);
    EXPECT_NEAR(a.z, 0, EXACT);
    const Vector b = rotate_vector(quat_to_matrix({0, 0, 0, 1}), {1, 2, 3});
    EXPECT_EQ(b.x, -1);
    EXPECT_EQ(b.y, -2);
    EXPECT_EQ(b.z, 3);
    // row 3 and column 3 take no part
    RotationMatrix m = quat_to_matrix({1, 0, 0, 0});
    m.m[3] = m.m[7] = m.m[11] = m.m[12] = 99;
    EXPECT_EQ(rotate_vector(m, {1, 2, 3}).x, 1);
}

// Properties over random unit quaternions: the matrix is a proper rotation, products compose
// as matrices, and the matrix turns a vector as q v q* does.
TEST(Matrix, AgreesWithQuaternionAlgebra) {
    std::mt19937 rng(7);
    for (int n = 0; n < 200; ++n) {
        const Quaternion a = random_unit(rng), b = random_unit(rng);
        const RotationMatrix ma = quat_to_matrix(a), mb = quat_to_matrix(b);
        const RotationMatrix mab = quat_to_matrix(quat_multiply(a, b));
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                double product = 0, gram = 0;
                for (int k = 0; k < 3; ++k) {
                    product += ma.m[4 * r + k] * mb.m[4 * k + c];
                    gram += ma.m[4 * r + k] * ma.m[4 * c + k];
                }
                EXPECT_NEAR(mab.m[4 * r + c], product, PRODUCT);
                EXPECT_NEAR(gram, r == c ? 1.0 : 0.0, PRODUCT);
            }
        const double* m = ma.m;
        const double det = m[0] * (m[5] * m[10] - m[6] * m[9]) -
                           m[1] * (m[4] * m[10] - m[6] * m[8]) + m[2] * (m[4] * m[9] - m[5] * m[8]);
        EXPECT_NEAR(det, 1.0, PRODUCT);

        const Vector v{0.3, -1.2, 2.5};
        const Quaternion turned =
            quat_multiply(quat_multiply(a, {0, v.x, v.y, v.z}), {a.w, -a.x, -a.y, -a.z});
        const Vector r = rotate_vector(ma, v);
        EXPECT_NEAR(r.x, turned.x, PRODUCT);
        EXPECT_NEAR(r.y, turned.y, PRODUCT);
        EXPECT_NEAR(r.z, turned.z, PRODUCT);
    }
}

// The accumulator's count: with interval 30 the 32nd product renormalises, then every 32nd.
TEST(Unit, ExactLengthForAnyScaleAndRefusesZeroAndNonFinite) {
    for (double scale : {1e-300, 1e-40, 0.02, 1.0000004, 3e38, 1e300}) {
        Quaternion q{scale, -2 * scale, 0, 2 * scale};
        ASSERT_TRUE(quat_unit(q)) << scale;
        expect_quat(q, 1.0 / 3, -2.0 / 3, 0, 2.0 / 3, EXACT);
    }
    for (Quaternion q :
         {Quaternion{0, 0, 0, 0}, Quaternion{NAN, 1, 0, 0}, Quaternion{1, 0, -INFINITY, 0}}) {
        const Quaternion before = q;
        EXPECT_FALSE(quat_unit(q));
        EXPECT_EQ(std::memcmp(&q, &before, sizeof q), 0);
    }
}

TEST(Slerp, TurnsAtAConstantRateTheShortWay) {
    const double c = std::sqrt(0.5);
    const Quaternion still{1, 0, 0, 0}, quarter{c, 0, 0, c};
    EXPECT_NEAR(quat_angle_between(still, quarter), std::numbers::pi / 2, EXACT);
    // q and -q are one rotation: no turn between them, and the way from it is the short one.
    EXPECT_NEAR(quat_angle_between(quarter, {-c, 0, 0, -c}), 0, EXACT);
    expect_quat(quat_slerp(still, {-c, 0, 0, -c}, 0.5), std::cos(std::numbers::pi / 8), 0, 0,
                std::sin(std::numbers::pi / 8), EXACT);
    std::mt19937 rng(29);
    for (int k = 0; k < 100; ++k) {
        const Quaternion a = random_unit(rng), b = random_unit(rng);
        const double whole = quat_angle_between(a, b);
        for (double t : {0.0, 0.25, 0.5, 1.0}) {
            const Quaternion m = quat_slerp(a, b, t);
            EXPECT_NEAR(quat_angle_between(a, m), t * whole, PRODUCT);
            EXPECT_NEAR(quat_angle_between(m, b), (1 - t) * whole, PRODUCT);
        }
        // Rotations too close for the sine to tell apart still blend, to unit length.
        const Quaternion near{a.w + 1e-14, a.x, a.y, a.z};
        const Quaternion m = quat_slerp(a, near, 0.5);
        EXPECT_NEAR(m.w * m.w + m.x * m.x + m.y * m.y + m.z * m.z, 1, EXACT);
    }
}

TEST(Renormalisation, PeriodIsIntervalPlusTwo) {
    auto due_at = [](std::int32_t interval, int calls) {
        std::int32_t count = 0;
        std::vector<int> due;
        for (int n = 1; n <= calls; ++n)
            if (renorm_due(count, interval))
                due.push_back(n);
        return due;
    };
    EXPECT_EQ(due_at(30, 100), (std::vector<int>{32, 64, 96}));
    EXPECT_EQ(due_at(0, 7), (std::vector<int>{2, 4, 6}));
    EXPECT_EQ(due_at(-5, 3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(due_at(1, 9), (std::vector<int>{3, 6, 9}));

    constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
    std::int32_t count = max - 1;
    EXPECT_FALSE(renorm_due(count, max));
    EXPECT_FALSE(renorm_due(count, max));
    EXPECT_EQ(count, max); // saturates instead of overflowing
}

} // namespace
