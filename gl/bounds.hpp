// SPDX-License-Identifier: GPL-3.0-or-later
// The bounds engine's geometry: the cube from -1 to 1 on each axis, scaled per axis and then
// moved to a position. Plain arithmetic with no host calls, tested on its own.
#pragma once

namespace tovo {

// Half the cube's edge before scaling.
inline constexpr float CUBE_HALF_EDGE = 1.0f;

// position and scale: x y z. bounds: the axis-aligned box the cube fills, min x y z then max
// x y z; a negative scale mirrors the cube and leaves its bounds ordered.
void cube_bounds(const float position[3], const float scale[3], float bounds[6]);

} // namespace tovo
