// SPDX-License-Identifier: GPL-3.0-or-later
// The factors between degrees and radians that the package's objects convert through. They are
// decimals of a fixed length, not the values at full precision: what the objects compute and
// print follows them to the last digit, so they are used exactly as written here.
#pragma once

namespace tovo {

// pi/180: degrees to radians (the ambisonic objects' angles in degrees).
inline constexpr double DEGREE_FACTOR = 0.01745329252;
// pi/360: degrees to the half angle of a quaternion, in radians.
inline constexpr double HALF_DEGREE_FACTOR = 0.00872664626;
// 360/pi: a quaternion's half angle in radians to the whole angle in degrees.
inline constexpr double DOUBLE_RADIAN_FACTOR = 114.59155902616;

// 180/pi: radians to degrees, in two spellings that both stay. The rotation objects send angles
// through the first; the decoders' reports and assist texts print speaker directions through the
// second, one digit longer. Either one in the other's place can change a printed last digit.
inline constexpr double RADIAN_FACTOR = 57.29577951308;
inline constexpr double DECODER_RADIAN_FACTOR = 57.295779513082;

// pi to 11 decimals: the decoders space their default ring of speakers with it.
inline constexpr double DECODER_PI = 3.14159265359;

} // namespace tovo
