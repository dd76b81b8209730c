// SPDX-License-Identifier: GPL-3.0-or-later
// Turning a whole ambisonic field by a quaternion: the coefficients of the rotation in the
// package's channels (in the layout of rotate_kernel.hpp), and the plan of a change from one
// rotation to another as the signal side plays it. Message-side maths: no host, no state.
#pragma once

#include "rotate_kernel.hpp"

#include "quaternion.hpp"

#include <cstdint>

namespace tovo::ambi {

// A change of rotation is played in sub-ramps between rotations at most this far apart, 5
// degrees: a straight blend of two such rotations loses at most 0.075 dB at third order, at its
// midpoint.
inline constexpr double MAX_STEP_RAD = 0.0872664626;
// Sub-ramps of the largest change, a half turn.
inline constexpr int MAX_ROTATION_STEPS = 36;

// The rotation of a field by the unit quaternion q, in double: a source encoded at direction d
// comes out as the encoder would have encoded it at R(q) d, R(q) as rot.apply turns vectors. In
// 2-D only the turn about z can be represented: the field turns by field_heading(q).
void field_rotation(std::int32_t order, std::int32_t dimension, const Quaternion& q,
                    double* coefficients);

// The turn about z that a 2-D field takes from the unit quaternion q, in radians: the heading of
// R(q) x, the angle from x towards y of the turned x axis; when that points straight up or down,
// the whole turn about z, as rot.toypr reads the yaw.
double field_heading(const Quaternion& q);

// The rotations a change from `from` to `to` (unit quaternions) passes through, as coefficient
// sets in single precision: evenly spaced along the shorter way (the great arc in 3-D, the
// heading in 2-D), each at most MAX_STEP_RAD from the one before, the first one step away from
// `from` and the last `to` itself. Returns their number, 1 to MAX_ROTATION_STEPS.
int plan_rotation_change(std::int32_t order, std::int32_t dimension, const Quaternion& from,
                         const Quaternion& to, float (*sets)[MAX_ROTATION_COEFFICIENTS]);

} // namespace tovo::ambi
