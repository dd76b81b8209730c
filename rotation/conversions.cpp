// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions between quaternions and angles, directions and reverse turns, in double precision.
#include "conversions.hpp"

#include <algorithm>
#include <cmath>

namespace tovo {

Quaternion quat_reverse(Quaternion q) {
    quat_normalize(q);
    return {q.w, -q.x, -q.y, -q.z};
}

Quaternion quat_from_turn(double angle_deg, const Vector& direction) {
    const double h = angle_deg * HALF_DEGREE_FACTOR;
    const double s = std::sin(h);
    Quaternion q{std::cos(h), s * direction.x, s * direction.y, s * direction.z};
    quat_normalize(q);
    return q;
}

Turn turn_from_quat(Quaternion q) {
    double c = q.w * q.w;
    // |w| above 1 has no arc cosine: bring such an input to unit length first (its squared norm
    // is then above the band too, so quat_normalize always rescales it).
    if (c > UNIT_BAND_HIGH) {
        quat_normalize(q);
        c = q.w * q.w;
    }
    if (c > UNIT_BAND_HIGH || c < UNIT_BAND_LOW) {
        const double r = 1.0 / std::sqrt(1.0 - c);
        return {std::acos(q.w) * DOUBLE_RADIAN_FACTOR, {q.x * r, q.y * r, q.z * r}};
    }
    // A turn of nearly 0 or 360 degrees: its axis cannot be recovered, so the vector part goes
    // out unscaled.
    return {0.0, {q.x, q.y, q.z}};
}

Quaternion quat_from_angles(const Angles& a) {
    const double h1 = a.about_y_deg * HALF_DEGREE_FACTOR;
    const double h2 = a.about_x_deg * HALF_DEGREE_FACTOR;
    const double h3 = a.about_z_deg * HALF_DEGREE_FACTOR;
    const double c1 = std::cos(h1), c2 = std::cos(h2), c3 = std::cos(h3);
    const double s1 = std::sin(h1), s2 = std::sin(h2), s3 = std::sin(h3);
    Quaternion q{
        c1 * c2 * c3 + s1 * s2 * s3,
        c1 * s2 * c3 + s1 * c2 * s3,
        s1 * c2 * c3 - c1 * s2 * s3,
        c1 * c2 * s3 - s1 * s2 * c3,
    };
    quat_normalize(q);
    return q;
}

Angles angles_from_quat(const Quaternion& q) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    // Rounding, or a quaternion of another length, can push the sine past +-1: clamped, such an
    // input counts as a turn of +-90 degrees about y, never NaN.
    const double sine = std::clamp(-2.0 * (z * x - y * w), -1.0, 1.0);
    if (1.0 - std::fabs(sine) <= POLE_BAND) {
        // Within rounding of +-90 degrees about y the x and z turns act about one axis and the
        // usual arc tangents see only noise. Take the pole as exact, give the whole turn to x,
        // read from -m[1][2] and m[1][1], which hold its sine and cosine at either pole.
        const double about_x =
            std::atan2(2.0 * (w * x - y * z), w * w - x * x + y * y - z * z) * RADIAN_FACTOR;
        return {std::copysign(90.0, sine), about_x, 0.0};
    }
    const double about_y = std::asin(sine) * RADIAN_FACTOR;
    return {
        about_y,
        std::atan2(2.0 * (y * z + x * w), w * w - x * x - y * y + z * z) * RADIAN_FACTOR,
        std::atan2(2.0 * (x * y + z * w), w * w + x * x - y * y - z * z) * RADIAN_FACTOR,
    };
}

Quaternion quat_from_ypr(const YawPitchRoll& a) {
    const double hy = a.yaw_deg * HALF_DEGREE_FACTOR;
    const double hp = -a.pitch_deg * HALF_DEGREE_FACTOR;
    const double hr = a.roll_deg * HALF_DEGREE_FACTOR;
    const Quaternion yaw{std::cos(hy), 0.0, 0.0, std::sin(hy)};
    const Quaternion pitch{std::cos(hp), 0.0, std::sin(hp), 0.0};
    const Quaternion roll{std::cos(hr), std::sin(hr), 0.0, 0.0};
    return quat_multiply(quat_multiply(yaw, pitch), roll);
}

namespace {

// An angle in (-180, 180] that stays there as a single-precision float: just above -180 it
// would round to -180, which is the same turn as 180.
// No -0 either: a turn of nothing reads 0.
double half_open(double angle_deg) {
    return static_cast<float>(angle_deg) <= -180.0f ? 180.0 : angle_deg + 0.0;
}

} // namespace

namespace {

// The sine of the pitch, R[2][0]: how far the turned x axis rises.
double pitch_sine(const Quaternion& q) {
    return std::clamp(2.0 * (q.x * q.z - q.w * q.y), -1.0, 1.0);
}

bool facing_a_pole(double sine) {
    return 1.0 - std::fabs(sine) <= YPR_POLE_BAND;
}

} // namespace

double quat_yaw_rad(const Quaternion& q) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    // Facing straight up or down, yaw and roll turn about the same axis and only their sum (or
    // difference) is defined: all of it goes to yaw, read from the turned y axis, which then lies
    // in the horizontal plane at the yaw's angle past y.
    if (facing_a_pole(pitch_sine(q)))
        return std::atan2(-2.0 * (x * y - w * z), 1.0 - 2.0 * (x * x + z * z));
    return std::atan2(2.0 * (x * y + w * z), 1.0 - 2.0 * (y * y + z * z));
}

YawPitchRoll ypr_from_quat(Quaternion q) {
    if (!quat_unit(q))
        return {0.0, 0.0, 0.0};
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    const double yaw = half_open(quat_yaw_rad(q) * RADIAN_FACTOR);
    const double sine = pitch_sine(q);
    if (facing_a_pole(sine))
        return {yaw, std::copysign(90.0, sine), 0.0};
    const double roll = std::atan2(2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y));
    return {yaw, std::asin(sine) * RADIAN_FACTOR + 0.0, half_open(roll * RADIAN_FACTOR)};
}

Vector axes_direction(const Quaternion& q, int axis_x, int axis_y, int axis_z) {
    // Column c of quat_to_matrix is the image of body axis c; a factor of 0 leaves it out.
    const RotationMatrix m = quat_to_matrix(q);
    const int factor[] = {axis_x, axis_y, axis_z};
    Vector sum{0.0, 0.0, 0.0};
    for (int c = 0; c < 3; ++c) {
        if (factor[c] > 0) {
            sum.x += m.m[c];
            sum.y += m.m[4 + c];
            sum.z += m.m[8 + c];
        } else if (factor[c] < 0) {
            sum.x -= m.m[c];
            sum.y -= m.m[4 + c];
            sum.z -= m.m[8 + c];
        }
    }
    return sum;
}

} // namespace tovo
