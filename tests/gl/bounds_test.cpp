// SPDX-License-Identifier: GPL-3.0-or-later
// The bounds engine's geometry: the box a scaled and moved cube fills.
#include "gl/bounds.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<float> bounds_of(std::vector<float> position, std::vector<float> scale) {
    std::vector<float> bounds(6);
    tovo::cube_bounds(position.data(), scale.data(), bounds.data());
    return bounds;
}

TEST(CubeBounds, ScaleSetsHalfTheEdgeAndPositionTheCentre) {
    EXPECT_EQ(bounds_of({0, 0, 0}, {1, 1, 1}), (std::vector<float>{-1, -1, -1, 1, 1, 1}));
    EXPECT_EQ(bounds_of({1, 2, 3}, {2, 0.5f, 1}), (std::vector<float>{-1, 1.5f, 2, 3, 2.5f, 4}));
}

TEST(CubeBounds, MirroredOrFlatCubesStayOrdered) {
    // a negative scale mirrors the cube: it fills the same box, min still below max
    EXPECT_EQ(bounds_of({1, 2, 3}, {-2, -0.5f, 1}), bounds_of({1, 2, 3}, {2, 0.5f, 1}));
    // a zero scale flattens that axis onto the position
    EXPECT_EQ(bounds_of({4, 0, 0}, {0, 1, 1}), (std::vector<float>{4, -1, -1, 4, 1, 1}));
}

} // namespace
