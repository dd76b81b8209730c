// The axis-aligned bounds of the scaled and moved cube.
#include "gl/bounds.hpp"

#include <cmath>

namespace tovo {

void cube_bounds(const float position[3], const float scale[3], float bounds[6]) {
    for (int axis = 0; axis < 3; ++axis) {
        const float half = CUBE_HALF_EDGE * std::fabs(scale[axis]);
        bounds[axis] = position[axis] - half;
        bounds[axis + 3] = position[axis] + half;
    }
}

} // namespace tovo
