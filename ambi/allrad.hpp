// SPDX-License-Identifier: GPL-3.0-or-later
// The all-round decoder's design, with no host in it: the field decoded to a dense, even set of
// virtual speakers, each virtual speaker panned onto the real layout by vector-base amplitude
// panning over the layout's hull (pairs of neighbours in 2-D), and the product scaled to unit
// mean energy. Bad layouts get the sampling matrix, under the same scaling, and a reason.
#pragma once

#include "kernels.hpp"
#include "weights.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace tovo::ambi {

// Virtual speakers: a golden-angle spiral over the sphere, a regular polygon on the circle
// (well above the 2 * order + 2 points a third-order ring needs).
inline constexpr int VIRTUAL_SPHERE_POINTS = 2000;
inline constexpr int VIRTUAL_CIRCLE_POINTS = 360;
// Imaginary speakers that close a layout around the listener: the nadir and the zenith in 3-D,
// points in the middle of a gap of half the circle or more in 2-D. Never more than two.
inline constexpr int MAX_IMAGINARY = 2;
// Two speakers closer than this (radians, 0.01 degrees) stand in the same direction.
inline constexpr double SAME_DIRECTION_RAD = 1.7453292519943e-4;

// A unit vector: x to the front, y to the left, z up.
struct Direction {
    double x, y, z;
};

Direction direction_of(double azimuth_rad, double elevation_rad);
double azimuth_of(const Direction& d);   // radians, -pi to pi
double elevation_of(const Direction& d); // radians

enum LayoutProblem : std::int32_t {
    LAYOUT_GOOD,
    LAYOUT_TOO_FEW,          // fewer than three speakers in 3-D
    LAYOUT_SAME_DIRECTION,   // two speakers in one direction
    LAYOUT_ONE_PLANE,        // 3-D: every speaker on one plane through the listener
    LAYOUT_LISTENER_OUTSIDE, // 3-D: no hull encloses the listener, imaginary speakers included
};

// count points evenly spread: over the sphere, or on the horizontal circle from azimuth 0.
std::vector<Direction> sphere_points(int count);
std::vector<Direction> circle_points(int count);

// A layout ready for panning: the real speakers, then the imaginary ones, and the faces between
// them, each with the inverse of its matrix of directions (3-D: triangles of the hull, the
// inverse 3x3 row-major; 2-D: pairs of neighbours, the third index -1, the inverse 2x2 in the
// first four entries).
struct PanningLayout {
    std::vector<Direction> points;
    int real_count = 0;
    std::vector<std::array<int, 3>> faces;
    std::vector<std::array<double, 9>> inverses;
    LayoutProblem problem = LAYOUT_GOOD;
    int first = -1, second = -1; // the speakers in one direction, for LAYOUT_SAME_DIRECTION
};

// The convex hull of the points with qhull, as triangles of indices into points, and the least
// distance from the listener (the centre) to the plane of a face, negative when the listener
// stands outside. False when qhull finds no hull (fewer than four points, or all in one plane).
bool convex_hull(const std::vector<Direction>& points, std::vector<std::array<int, 3>>& faces,
                 double& least_depth);

// The hull of the speakers, with the nadir, the zenith or both added when the listener
// would otherwise stand outside it or on its surface.
PanningLayout triangulate_sphere(const std::vector<Direction>& speakers);
// Neighbours on the circle by azimuth (elevations are not looked at), with imaginary speakers
// splitting every gap of 179 degrees or more.
PanningLayout pair_circle(const std::vector<Direction>& speakers);

// The panning gains of direction d over every point of the layout (points.size() entries), of
// unit power; all zero when the layout has a problem.
void panning_gains(const PanningLayout& layout, const Direction& d, std::vector<double>& gains);

// The mean over every source direction (the sphere in 3-D, the circle in 2-D) of the square of
// each channel as the encoder makes it, W included: 16 entries in channel order.
void channel_energies(const AmbiFormat& format, double* energy);

// Speaker by channel, W in column 0; rows past the layout's speakers are 0.
using DesignMatrix = double[MAX_SPEAKERS][MAX_CHANNELS];

// The mean over every source direction of the sum of the speakers' squared gains, for a source
// of unit level through the encoder.
double mean_energy(const AmbiFormat& format, const DesignMatrix& matrix, int speaker_count);

struct AllradDesign {
    LayoutProblem problem;
    int first, second; // the speakers in one direction, for LAYOUT_SAME_DIRECTION
    int imaginary_count;
    Direction imaginary[MAX_IMAGINARY];
    int virtual_count; // 0 when the sampling matrix stands in
    int face_count;
    DesignMatrix matrix;
};

// The all-round matrix for speaker_count speakers (1 to 32) at the given directions, decoded
// with order_weights (orders 0 to 3); on a bad layout, the sampling matrix and the problem.
// Either matrix has unit mean energy; every entry is finite.
void allrad_design(const AmbiFormat& format, const float* order_weights, int speaker_count,
                   const float* azimuth_rad, const float* elevation_rad, AllradDesign& design);

// The sampling decoder with the same law: each speaker takes the virtual speakers' decoding at
// its own direction, scaled to unit mean energy.
void sampling_design(const AmbiFormat& format, const float* order_weights, int speaker_count,
                     const float* azimuth_rad, const float* elevation_rad, DesignMatrix& matrix);

} // namespace tovo::ambi
