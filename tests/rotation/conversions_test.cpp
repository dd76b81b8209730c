// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions held against an independent route: rotations composed from axis turns built with
// sines and cosines of radians, multiplied as 3x3 matrices, and round trips.
#include "rotation/conversions.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>

namespace {

using namespace tovo;

using Mat3 = std::array<std::array<double, 3>, 3>;

constexpr double DEG = std::numbers::pi / 180.0;
// The decimal factors differ from pi/360 and 180/pi by a few parts in 1e12; angles up to 360
// degrees in double precision agree to this much.
constexpr double MATRIX_TOL = 1e-9;
constexpr double ANGLE_TOL_DEG = 1e-6;

// Right-handed turn about axis 0 (x), 1 (y) or 2 (z).
Mat3 axis_turn(int axis, double deg) {
    const double c = std::cos(deg * DEG), s = std::sin(deg * DEG);
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    Mat3 m{};
    m[axis][axis] = 1;
    m[a][a] = c;
    m[b][b] = c;
    m[a][b] = -s;
    m[b][a] = s;
    return m;
}
constexpr int X = 0, Y = 1, Z = 2;

Mat3 operator*(const Mat3& p, const Mat3& q) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i][j] += p[i][k] * q[k][j];
    return r;
}

// The rotation of a quaternion of any length, through its unit quaternion.
Mat3 rotation_of(Quaternion q) {
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    const RotationMatrix m = quat_to_matrix({q.w / n, q.x / n, q.y / n, q.z / n});
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i][j] = m.m[4 * i + j];
    return r;
}

double max_diff(const Mat3& p, const Mat3& q) {
    double d = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            d = std::max(d, std::fabs(p[i][j] - q[i][j]));
    return d;
}

// The angles as the decomposition of rot.toangles: z after y after x.
Mat3 rebuild(const Angles& a) {
    return axis_turn(Z, a.about_z_deg) * axis_turn(Y, a.about_y_deg) * axis_turn(X, a.about_x_deg);
}

// A quaternion as it travels between objects: single-precision floats.
Quaternion as_floats(const Quaternion& q) {
    return {static_cast<float>(q.w), static_cast<float>(q.x), static_cast<float>(q.y),
            static_cast<float>(q.z)};
}

Quaternion axis_quat(int axis, double deg) {
    const double h = deg * DEG / 2;
    Quaternion q{std::cos(h), 0, 0, 0};
    (axis == X ? q.x : axis == Y ? q.y : q.z) = std::sin(h);
    return q;
}

double wrap_deg(double d) {
    return std::remainder(d, 360.0);
}

void expect_quat(const Quaternion& q, double w, double x, double y, double z, double tol) {
    EXPECT_NEAR(q.w, w, tol);
    EXPECT_NEAR(q.x, x, tol);
    EXPECT_NEAR(q.y, y, tol);
    EXPECT_NEAR(q.z, z, tol);
}

const double ANGLES[] = {-270, -180, -90, -45, -10, 0, 30, 90, 135, 180, 250, 360};

TEST(FromAngles, IsYThenXThenZAsMatrices) {
    for (double a1 : ANGLES)
        for (double a2 : ANGLES)
            for (double a3 : ANGLES) {
                const Mat3 expected = axis_turn(Y, a1) * axis_turn(X, a2) * axis_turn(Z, a3);
                EXPECT_LT(max_diff(rotation_of(quat_from_angles({a1, a2, a3})), expected),
                          MATRIX_TOL)
                    << a1 << " " << a2 << " " << a3;
            }
}

TEST(FromTurn, TurnsRightHandedAboutAUnitDirection) {
    std::mt19937 rng(3);
    std::normal_distribution<double> n;
    for (int k = 0; k < 50; ++k) {
        double d[3] = {n(rng), n(rng), n(rng)};
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        for (double& c : d)
            c /= len;
        for (double angle : ANGLES) {
            // Rodrigues: cos I + sin [d]x + (1 - cos) d d^T
            const double c = std::cos(angle * DEG), s = std::sin(angle * DEG);
            const double cross[3][3] = {{0, -d[2], d[1]}, {d[2], 0, -d[0]}, {-d[1], d[0], 0}};
            Mat3 expected{};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    expected[i][j] = (i == j ? c : 0) + s * cross[i][j] + (1 - c) * d[i] * d[j];
            EXPECT_LT(max_diff(rotation_of(quat_from_turn(angle, {d[0], d[1], d[2]})), expected),
                      MATRIX_TOL);
        }
    }
}

TEST(ToTurn, RoundTripsTurnsAboutUnitDirections) {
    std::mt19937 rng(5);
    std::normal_distribution<double> n;
    for (double angle = 1; angle < 360; angle += 7) {
        const Vector d0{n(rng), n(rng), n(rng)};
        const double len = std::sqrt(d0.x * d0.x + d0.y * d0.y + d0.z * d0.z);
        const Vector d{d0.x / len, d0.y / len, d0.z / len};
        const Turn t = turn_from_quat(quat_from_turn(angle, d));
        EXPECT_NEAR(t.angle_deg, angle, ANGLE_TOL_DEG);
        EXPECT_NEAR(t.direction.x, d.x, 1e-9);
        EXPECT_NEAR(t.direction.y, d.y, 1e-9);
        EXPECT_NEAR(t.direction.z, d.z, 1e-9);
        // -q is the same rotation: the other way round about the opposite direction
        const Quaternion q = quat_from_turn(angle, d);
        const Turn u = turn_from_quat({-q.w, -q.x, -q.y, -q.z});
        EXPECT_NEAR(u.angle_deg, 360 - angle, ANGLE_TOL_DEG);
        EXPECT_NEAR(u.direction.x, -d.x, 1e-9);
    }
}

void expect_turn(const Turn& t, double angle, double x, double y, double z, double tol) {
    EXPECT_NEAR(t.angle_deg, angle, tol);
    EXPECT_NEAR(t.direction.x, x, tol);
    EXPECT_NEAR(t.direction.y, y, tol);
    EXPECT_NEAR(t.direction.z, z, tol);
}

// Double-precision inputs either side of the band: single-precision ones cannot get this close.
TEST(ToTurn, TheBandNearNoTurn) {
    // 0.1 degrees lies inside the band: angle 0 and the vector part unscaled
    const double h = 0.05 * DEG;
    expect_turn(turn_from_quat({std::cos(h), std::sin(h), 0, 0}), 0, std::sin(h), 0, 0, 0);
    const double g = 0.06 * DEG;
    expect_turn(turn_from_quat({std::cos(g), std::sin(g), 0, 0}), 0.12, 1, 0, 0, 1e-6);
    expect_turn(turn_from_quat({-std::cos(g), std::sin(g), 0, 0}), 359.88, 1, 0, 0, 1e-6);
}

TEST(ToTurn, WAboveOneIsScaledToUnitLengthFirst) {
    expect_turn(turn_from_quat({2, 1, 0, 0}), 53.130102, 1, 0, 0, 1e-6);
    // just above the band: scaled, then inside it
    expect_turn(turn_from_quat({1.0000006, 0, 0, 0}), 0, 0, 0, 0, 0);
    for (double w : {1.0000006, 1.5, -7.0, 1e6, -1e30})
        for (double v : {0.0, 1e-9, 0.3, 2.0, -1e6}) {
            const Turn t = turn_from_quat({w, v, -v, 0.5 * v});
            EXPECT_FALSE(std::isnan(t.angle_deg) || std::isnan(t.direction.x)) << w << " " << v;
            EXPECT_GE(t.angle_deg, 0);
            EXPECT_LE(t.angle_deg, 360);
        }
}

TEST(ToAngles, DecomposesAnyRotationAsZAfterYAfterX) {
    std::mt19937 rng(11);
    std::normal_distribution<double> n;
    for (int k = 0; k < 500; ++k) {
        const Quaternion q{n(rng), n(rng), n(rng), n(rng)};
        const double s = 1 / std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
        const Quaternion u{q.w * s, q.x * s, q.y * s, q.z * s};
        const Angles a = angles_from_quat(u);
        EXPECT_LE(std::fabs(a.about_y_deg), 90);
        EXPECT_LE(std::fabs(a.about_x_deg), 180);
        EXPECT_LE(std::fabs(a.about_z_deg), 180);
        EXPECT_LT(max_diff(rebuild(a), rotation_of(u)), MATRIX_TOL);
    }
}

TEST(ToAngles, InvertsFromAnglesWithoutTheZTurn) {
    for (double a1 = -89; a1 < 90; a1 += 4)
        for (double a2 = -179; a2 < 180; a2 += 8) {
            const Angles a = angles_from_quat(quat_from_angles({a1, a2, 0}));
            EXPECT_NEAR(a.about_y_deg, a1, ANGLE_TOL_DEG);
            EXPECT_NEAR(a.about_x_deg, a2, ANGLE_TOL_DEG);
            EXPECT_NEAR(a.about_z_deg, 0, ANGLE_TOL_DEG);
        }
    // one angle alone comes back in its place
    for (double a : {-170.0, -60.0, 25.0, 179.0}) {
        EXPECT_NEAR(angles_from_quat(quat_from_angles({0, 0, a})).about_z_deg, a, ANGLE_TOL_DEG);
        EXPECT_NEAR(angles_from_quat(quat_from_angles({0, a, 0})).about_x_deg, a, ANGLE_TOL_DEG);
    }
    // the order of the turns differs once z takes part
    const Angles a = angles_from_quat(quat_from_angles({30, 0, 20}));
    EXPECT_NEAR(a.about_y_deg, 28.0243, 1e-4);
    EXPECT_NEAR(a.about_x_deg, 11.1702, 1e-4);
    EXPECT_NEAR(a.about_z_deg, 22.7959, 1e-4);
}

TEST(ToAngles, AtThePoleTheWholeTurnGoesToX) {
    // z after y = +-90 after x: only x - z (at +90) or x + z (at -90) is left
    const Angles up = angles_from_quat(
        quat_multiply(quat_multiply(axis_quat(Z, 20), axis_quat(Y, 90)), axis_quat(X, 30)));
    EXPECT_EQ(up.about_y_deg, 90);
    EXPECT_NEAR(up.about_x_deg, 10, ANGLE_TOL_DEG);
    EXPECT_EQ(up.about_z_deg, 0);
    const Angles down = angles_from_quat(
        quat_multiply(quat_multiply(axis_quat(Z, 20), axis_quat(Y, -90)), axis_quat(X, 30)));
    EXPECT_EQ(down.about_y_deg, -90);
    EXPECT_NEAR(down.about_x_deg, 50, ANGLE_TOL_DEG);
    EXPECT_EQ(down.about_z_deg, 0);
    // 0.1 degrees off the pole lies outside the band: the usual formulas, z kept
    const Angles near = angles_from_quat(
        quat_multiply(quat_multiply(axis_quat(Z, 20), axis_quat(Y, 89.9)), axis_quat(X, 30)));
    EXPECT_NEAR(near.about_y_deg, 89.9, 1e-7);
    EXPECT_NEAR(near.about_x_deg, 30, 1e-7);
    EXPECT_NEAR(near.about_z_deg, 20, 1e-7);
}

// What rot.toangles receives from rot.fromangles: the quaternion as single-precision floats.
TEST(ToAngles, SinglePrecisionInputsAtThePoleComeBack) {
    for (double a1 : {90.0, -90.0})
        for (double a2 = -180; a2 <= 180; a2 += 2.5) {
            const Angles a = angles_from_quat(as_floats(quat_from_angles({a1, a2, 0})));
            EXPECT_EQ(a.about_y_deg, a1) << a2;
            EXPECT_NEAR(wrap_deg(a.about_x_deg - a2), 0, 1e-4) << a1 << " " << a2;
            EXPECT_EQ(a.about_z_deg, 0) << a2;
        }
}

// The band is set by single-precision rounding: rotations on either side of its edge, sent as
// floats, rebuild their own rotation to about the square root of that rounding. A band too
// narrow leaves noise in the arc tangents (errors of order 1); a wider one than needed makes
// the error grow.
TEST(ToAngles, SinglePrecisionInputsRebuildTheirRotationAcrossTheBand) {
    std::mt19937 rng(13);
    std::uniform_real_distribution<double> any(-180, 180), off_exp(-7, 0);
    double worst = 0;
    for (int k = 0; k < 20000; ++k) {
        const double off_deg = std::pow(10.0, off_exp(rng));
        const double b1 = (k % 2 ? 90 : -90) - (k % 2 ? off_deg : -off_deg);
        const Quaternion q = as_floats(quat_multiply(
            quat_multiply(axis_quat(Z, any(rng)), axis_quat(Y, b1)), axis_quat(X, any(rng))));
        const Angles a = angles_from_quat(q);
        ASSERT_FALSE(std::isnan(a.about_y_deg + a.about_x_deg + a.about_z_deg));
        worst = std::max(worst, max_diff(rebuild(a), rotation_of(q)));
    }
    EXPECT_LT(worst, 1e-3);
}

TEST(ToAngles, OtherLengthsNeverGiveNaN) {
    const Angles a = angles_from_quat({2, 0, 2, 0});
    EXPECT_EQ(a.about_y_deg, 90);
    EXPECT_EQ(a.about_x_deg, 0);
    for (const Quaternion& q : {Quaternion{0, 0, 0, 0}, Quaternion{5, -3, 2, 1},
                                Quaternion{1, 1, -1, 1}, Quaternion{0.1, 0, 0.1, 0}}) {
        const Angles b = angles_from_quat(q);
        EXPECT_FALSE(std::isnan(b.about_y_deg + b.about_x_deg + b.about_z_deg));
    }
}

TEST(Direction, SumsTheTurnedAxes) {
    std::mt19937 rng(17);
    std::normal_distribution<double> n;
    for (int k = 0; k < 20; ++k) {
        Quaternion q{n(rng), n(rng), n(rng), n(rng)};
        quat_normalize(q);
        const RotationMatrix m = quat_to_matrix(q);
        for (int fx = -1; fx <= 1; ++fx)
            for (int fy = -1; fy <= 1; ++fy)
                for (int fz = -1; fz <= 1; ++fz) {
                    const Vector expected = rotate_vector(m, {double(fx), double(fy), double(fz)});
                    const Vector d = axes_direction(q, fx, fy, fz);
                    EXPECT_NEAR(d.x, expected.x, 1e-12);
                    EXPECT_NEAR(d.y, expected.y, 1e-12);
                    EXPECT_NEAR(d.z, expected.z, 1e-12);
                }
    }
    // the diagonal is 1 minus squares: these inputs act as the identity
    for (const Quaternion& q : {Quaternion{0, 0, 0, 0}, Quaternion{2, 0, 0, 0}}) {
        const Vector d = axes_direction(q, 0, 0, 1);
        EXPECT_EQ(d.x, 0);
        EXPECT_EQ(d.y, 0);
        EXPECT_EQ(d.z, 1);
    }
}

TEST(Reverse, UndoesTheNormalisedTurn) {
    std::mt19937 rng(19);
    std::normal_distribution<double> n;
    for (int k = 0; k < 50; ++k) {
        const Quaternion q{3 * n(rng), n(rng), n(rng), n(rng)};
        Quaternion unit = q;
        quat_normalize(unit);
        expect_quat(quat_multiply(unit, quat_reverse(q)), 1, 0, 0, 0, 1e-12);
    }
}

// --- a tracker's yaw, pitch and roll ------------------------------------------------------------

// Yaw, then pitch, then roll as turns of the body: Rz(yaw) Ry(-pitch) Rx(roll).
Mat3 rebuild(const YawPitchRoll& a) {
    return axis_turn(Z, a.yaw_deg) * axis_turn(Y, -a.pitch_deg) * axis_turn(X, a.roll_deg);
}

// Where a quaternion takes a body axis.
Vector turned(const Quaternion& q, const Vector& axis) {
    return rotate_vector(quat_to_matrix(q), axis);
}

void expect_vector(const Vector& v, double x, double y, double z) {
    EXPECT_NEAR(v.x, x, MATRIX_TOL);
    EXPECT_NEAR(v.y, y, MATRIX_TOL);
    EXPECT_NEAR(v.z, z, MATRIX_TOL);
}

void expect_in_ranges(const YawPitchRoll& a) {
    // The ranges as the floats sent out give them.
    const auto yaw = static_cast<float>(a.yaw_deg), pitch = static_cast<float>(a.pitch_deg),
               roll = static_cast<float>(a.roll_deg);
    EXPECT_TRUE(yaw > -180 && yaw <= 180) << yaw;
    EXPECT_TRUE(pitch >= -90 && pitch <= 90) << pitch;
    EXPECT_TRUE(roll > -180 && roll <= 180) << roll;
}

TEST(FromYpr, TurnsTheHeadAsATrackerSaysIt) {
    const double c = std::cos(30 * DEG), s = std::sin(30 * DEG);
    // Yaw turns the nose to the left, pitch lifts it, roll lowers the right ear.
    expect_vector(turned(quat_from_ypr({90, 0, 0}), {1, 0, 0}), 0, 1, 0);
    expect_vector(turned(quat_from_ypr({0, 30, 0}), {1, 0, 0}), c, 0, s);
    expect_vector(turned(quat_from_ypr({90, 30, 0}), {1, 0, 0}), 0, c, s);
    expect_vector(turned(quat_from_ypr({0, 0, 30}), {0, 1, 0}), 0, c, s);
    // Each turn about the axis as the turns before it left it.
    for (double yaw : ANGLES)
        for (double pitch : ANGLES)
            for (double roll : ANGLES)
                EXPECT_LT(max_diff(rotation_of(quat_from_ypr({yaw, pitch, roll})),
                                   rebuild(YawPitchRoll{yaw, pitch, roll})),
                          MATRIX_TOL);
}

TEST(ToYpr, RoundTripsUpTo89Point99DegreesOfPitch) {
    for (double pitch : {-89.99, -89.9, -60.0, -1.0, 0.0, 15.0, 45.0, 89.9, 89.99})
        for (double yaw = -175; yaw <= 180; yaw += 35)
            for (double roll = -170; roll <= 180; roll += 34) {
                const YawPitchRoll a = ypr_from_quat(quat_from_ypr({yaw, pitch, roll}));
                EXPECT_NEAR(a.yaw_deg, yaw, 1e-4) << yaw << " " << pitch << " " << roll;
                EXPECT_NEAR(a.pitch_deg, pitch, 1e-4) << yaw << " " << pitch << " " << roll;
                EXPECT_NEAR(a.roll_deg, roll, 1e-4) << yaw << " " << pitch << " " << roll;
            }
    // Any rotation, of any length and either sign, is rebuilt from its angles.
    std::mt19937 rng(23);
    std::normal_distribution<double> n;
    for (int k = 0; k < 500; ++k) {
        const Quaternion q{n(rng), n(rng), n(rng), n(rng)};
        const double scale = k % 3 == 0 ? 1e-30 : k % 3 == 1 ? 7.0 : 1e30;
        const YawPitchRoll a = ypr_from_quat({q.w * scale, q.x * scale, q.y * scale, q.z * scale});
        expect_in_ranges(a);
        EXPECT_LT(max_diff(rebuild(a), rotation_of(q)), MATRIX_TOL);
    }
}

TEST(ToYpr, FacingUpOrDownTheWholeTurnGoesToYaw) {
    // Straight up, roll turns about the same axis as yaw: 30 and 20 make 50, roll 0.
    const YawPitchRoll up = ypr_from_quat(quat_from_ypr({30, 90, 20}));
    EXPECT_EQ(up.pitch_deg, 90);
    EXPECT_NEAR(up.yaw_deg, 50, 1e-9);
    EXPECT_EQ(up.roll_deg, 0);
    // Straight down, roll turns against yaw.
    const YawPitchRoll down = ypr_from_quat(quat_from_ypr({30, -90, 20}));
    EXPECT_EQ(down.pitch_deg, -90);
    EXPECT_NEAR(down.yaw_deg, 10, 1e-9);
    EXPECT_EQ(down.roll_deg, 0);
    // As the objects send them, rounded to floats, poles stay poles and rebuild their rotation.
    for (double pitch : {90.0, -90.0})
        for (double yaw = -180; yaw <= 180; yaw += 7.5) {
            const Quaternion q = as_floats(quat_from_ypr({yaw, pitch, 33}));
            const YawPitchRoll a = ypr_from_quat(q);
            EXPECT_EQ(a.pitch_deg, pitch) << yaw;
            EXPECT_EQ(a.roll_deg, 0) << yaw;
            expect_in_ranges(a);
            EXPECT_LT(max_diff(rebuild(a), rotation_of(q)), 1e-6) << yaw;
        }
}

TEST(ToYpr, EdgesStayInTheirRangesAndNeverGiveNaN) {
    // A half turn of yaw or roll goes out as 180, never -180, even where rounding lands just below.
    auto sent = [](double v) { return static_cast<float>(v); };
    EXPECT_EQ(sent(ypr_from_quat({0, 0, 0, 1}).yaw_deg), 180);
    EXPECT_EQ(sent(ypr_from_quat({0, 0, 0, -1}).yaw_deg), 180);
    EXPECT_EQ(sent(ypr_from_quat({0, 1, 0, 0}).roll_deg), 180);
    EXPECT_EQ(sent(ypr_from_quat(quat_from_ypr({-179.9999999, 0, 0})).yaw_deg), 180);
    EXPECT_EQ(sent(ypr_from_quat(quat_from_ypr({0, 0, -179.9999999})).roll_deg), 180);
    const YawPitchRoll zero = ypr_from_quat({0, 0, 0, 0});
    EXPECT_EQ(zero.yaw_deg, 0);
    EXPECT_EQ(zero.pitch_deg, 0);
    EXPECT_EQ(zero.roll_deg, 0);
    for (const Quaternion& q :
         {Quaternion{NAN, 0, 0, 1}, Quaternion{INFINITY, 1, 0, 0}, Quaternion{3e38, 3e38, 0, 0},
          Quaternion{1e-45, 0, 1e-45, 0}, Quaternion{1, 1e-300, 0, 0}}) {
        const YawPitchRoll a = ypr_from_quat(q);
        EXPECT_FALSE(std::isnan(a.yaw_deg + a.pitch_deg + a.roll_deg));
        expect_in_ranges(a);
    }
    EXPECT_NEAR(ypr_from_quat({3e38, 0, -3e38, 0}).pitch_deg, 90, 1e-9);
}

} // namespace
