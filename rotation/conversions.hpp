// SPDX-License-Identifier: GPL-3.0-or-later
// The rotation objects' conversions between a quaternion and what patches speak: an angle with
// a direction, three angles about y, x and z, the direction of turned body axes, the reverse
// turn. Angles in degrees, through the package's decimal factors exactly as written.
#pragma once

#include "quaternion.hpp"
#include <tovo/angles.hpp>

namespace tovo {

// Angles convert through HALF_DEGREE_FACTOR, RADIAN_FACTOR and DOUBLE_RADIAN_FACTOR (angles.hpp)
// as those decimals, not at full precision: they decide edge cases (180 degrees with no direction
// gives w of about -5.1e-12, hence the identity).

// How far 2(wy - xz) may lie from +-1 and still count as a turn of +-90 degrees about y: 2^-23
// rounded up, the most that rounding w, x, y, z to single precision can move that term. The
// band spans about 0.028 degrees on each side of +-90.
inline constexpr double POLE_BAND = 1.2e-7;

// How close the sine of the pitch may come to +-1 before the angles count as facing straight up
// or down, for a quaternion brought to unit length. Rounding its components to single precision
// moves that sine by about 1e-14 near a pole (the sine is flat there), so a pole sent as floats
// is still a pole; the band ends 0.00008 degrees from it, and pitches up to 89.9999 degrees keep
// their yaw and roll apart.
inline constexpr double YPR_POLE_BAND = 1e-12;

struct Turn {
    double angle_deg;
    Vector direction;
};

// Three angles in the order the objects list them: about y, about x, about z.
struct Angles {
    double about_y_deg, about_x_deg, about_z_deg;
};

// The inverse rotation: normalised, then conjugated (a zero component comes out as -0).
Quaternion quat_reverse(Quaternion q);

// The direction is used as given, so only a unit direction turns by exactly the angle.
Quaternion quat_from_turn(double angle_deg, const Vector& direction);
// Angle 0..360; a turn within the unit band of w * w gives angle 0 and the vector part as it is.
// A quaternion with w * w above the band is first scaled to unit length.
Turn turn_from_quat(Quaternion q);

// Ry(about_y) Rx(about_x) Rz(about_z): z acts first about the fixed axes.
Quaternion quat_from_angles(const Angles& a);
// The decomposition Rz(about_z) Ry(about_y) Rx(about_x), about_y within -90..90. Within
// POLE_BAND of +-90 about y the x and z turns share one axis: about_y is +-90, about_z 0 and
// about_x carries the whole turn.
Angles angles_from_quat(const Quaternion& q);

// A tracker's angles in the package's frame (x front, y left, z up), turns of the body: yaw about
// z (positive to the left), then pitch about the turned y axis (positive lifts the nose), then
// roll about the twice-turned x axis (positive lowers the right ear).
struct YawPitchRoll {
    double yaw_deg, pitch_deg, roll_deg;
};

// Rz(yaw) Ry(-pitch) Rx(roll).
Quaternion quat_from_ypr(const YawPitchRoll& a);
// The inverse, for a quaternion of any length (normalised first; all zero, or one holding a NaN
// or an infinity, gives 0 0 0): yaw in (-180, 180], pitch in [-90, 90], roll in (-180, 180],
// the ranges holding after rounding to single precision too. At the poles yaw and roll turn
// about one axis: there pitch is exactly +-90, roll 0 and yaw the whole turn about z.
YawPitchRoll ypr_from_quat(Quaternion q);

// The yaw of a unit quaternion in radians, -pi..pi, as ypr_from_quat reads it: the heading of the
// turned x axis, from x towards y; facing straight up or down, the whole turn about z.
double quat_yaw_rad(const Quaternion& q);

// Factors -1, 0 or +1 per body axis: the sum of the turned axes, each with its factor.
Vector axes_direction(const Quaternion& q, int axis_x, int axis_y, int axis_z);

} // namespace tovo
