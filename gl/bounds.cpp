// SPDX-License-Identifier: GPL-3.0-or-later
// The axis-aligned bounds of the scaled and moved cube.
#include "bounds.hpp"

#include <tovo/atom.hpp>

#include <cmath>

namespace tovo {

void cube_bounds(const float position[3], const float scale[3], float bounds[6]) {
    // In double, then held within single precision: a huge position and scale give the largest
    // float, never an infinity.
    for (int axis = 0; axis < 3; ++axis) {
        const double half = CUBE_HALF_EDGE * std::fabs(double{scale[axis]});
        bounds[axis] = host::to_atom_float(position[axis] - half);
        bounds[axis + 3] = host::to_atom_float(position[axis] + half);
    }
}

} // namespace tovo
