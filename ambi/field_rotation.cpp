// SPDX-License-Identifier: GPL-3.0-or-later
// The field's rotation by projection: the harmonics of a fixed set of directions, turned, times
// the pseudo-inverse of the harmonics of the same directions unturned. Exact for every order
// because each order's harmonics span a space that rotations keep; the result is used as it is
// and never re-orthogonalised, since in the package's channels (with their odd third-order
// scales) a rotation's matrix is not orthogonal.
#include "field_rotation.hpp"

#include "weights.hpp"

#include "conversions.hpp"

#include <Eigen/Dense>

#include <cmath>
#include <numbers>

namespace tovo::ambi {

namespace {

// Directions of the projection: a spherical Fibonacci set, well spread (the third-order block's
// condition number is under 8) and more than twice the largest block.
constexpr int DIRECTIONS = 32;
// The golden angle in radians, pi (3 - sqrt 5).
constexpr double GOLDEN_ANGLE_RAD = 2.39996322972865332;

constexpr std::int32_t FULL_ORDER = 3;
// Coefficients smaller than this are zeros blurred by rounding (about 1e-15).
// Beside the other coefficients of a row, of order 1, a term this small is far below what single
// precision resolves, so clearing it loses nothing.
constexpr double ROUNDING_NOISE = 1e-12;

// What the arithmetic leaves of an exact zero is rounding noise: cleared, the identity and the
// quarter turns are exact.
double cleared(double coefficient) {
    return std::fabs(coefficient) < ROUNDING_NOISE ? 0.0 : coefficient;
}

Vector direction(int l) {
    const double z = 1.0 - (2.0 * l + 1.0) / DIRECTIONS;
    const double r = std::sqrt(1.0 - z * z);
    return {r * std::cos(GOLDEN_ANGLE_RAD * l), r * std::sin(GOLDEN_ANGLE_RAD * l), z};
}

// The 3-D third-order harmonics of a unit direction, in double.
void harmonics_of(const Vector& d, double* values) {
    harmonic_values(FULL_ORDER, 3, {d.x, d.y, d.z, d.x * d.x, d.y * d.y, d.z * d.z}, values);
}

// For each order n, the pseudo-inverse of the block's harmonics at the directions, DIRECTIONS
// rows of the block's size. A block's harmonics are the same functions in every 3-D format, so
// one table serves them all.
struct Projection {
    double inverse[FULL_ORDER + 1][DIRECTIONS][MAX_BLOCK];

    Projection() : inverse{} {
        double h[DIRECTIONS][MAX_CHANNELS];
        for (int l = 0; l < DIRECTIONS; ++l)
            harmonics_of(direction(l), h[l]);
        for (std::int32_t n = 1; n <= FULL_ORDER; ++n) {
            int channels[MAX_BLOCK];
            const int size = rotation_block(FULL_ORDER, 3, n, channels);
            Eigen::MatrixXd y(size, DIRECTIONS);
            for (int r = 0; r < size; ++r)
                for (int l = 0; l < DIRECTIONS; ++l)
                    y(r, l) = h[l][channels[r]];
            // Full row rank: the pseudo-inverse is y^T (y y^T)^-1.
            const Eigen::MatrixXd gram = y * y.transpose();
            const Eigen::MatrixXd p = gram.ldlt().solve(y).transpose();
            for (int l = 0; l < DIRECTIONS; ++l)
                for (int c = 0; c < size; ++c)
                    inverse[n][l][c] = p(l, c);
        }
    }
};

const Projection& projection() {
    static const Projection p;
    return p;
}

void rotation_3d(std::int32_t order, const Quaternion& q, double* coefficients) {
    const Projection& p = projection();
    const RotationMatrix m = quat_to_matrix(q);
    double turned[DIRECTIONS][MAX_CHANNELS];
    for (int l = 0; l < DIRECTIONS; ++l)
        harmonics_of(rotate_vector(m, direction(l)), turned[l]);
    double* c = coefficients;
    for (std::int32_t n = 1; n <= order; ++n) {
        int channels[MAX_BLOCK];
        const int size = rotation_block(FULL_ORDER, 3, n, channels);
        for (int r = 0; r < size; ++r)
            for (int k = 0; k < size; ++k) {
                double sum = 0.0;
                for (int l = 0; l < DIRECTIONS; ++l)
                    sum += turned[l][channels[r]] * p.inverse[n][l][k];
                c[r * size + k] = cleared(sum);
            }
        c += size * size;
    }
}

// A 2-D field turned by the heading: each order's pair (cos nA, sin nA) turns by n times it, and
// Q, which is -sin 3A, the other way round.
void rotation_2d(std::int32_t order, double heading_rad, double* coefficients) {
    for (std::int32_t n = 1; n <= order; ++n) {
        const double c = cleared(std::cos(n * heading_rad));
        const double s = cleared(n == 3 ? -std::sin(n * heading_rad) : std::sin(n * heading_rad));
        double* b = coefficients + 4 * (n - 1);
        b[0] = c;
        b[1] = -s;
        b[2] = s;
        b[3] = c;
    }
}

double wrapped(double angle_rad) {
    return std::remainder(angle_rad, 2.0 * std::numbers::pi);
}

void store(std::int32_t count, const double* exact, float* set) {
    for (std::int32_t k = 0; k < count; ++k)
        set[k] = static_cast<float>(exact[k]);
}

} // namespace

double field_heading(const Quaternion& q) {
    return quat_yaw_rad(q);
}

void field_rotation(std::int32_t order, std::int32_t dimension, const Quaternion& q,
                    double* coefficients) {
    if (dimension == 3)
        rotation_3d(order, q, coefficients);
    else
        rotation_2d(order, field_heading(q), coefficients);
}

int plan_rotation_change(std::int32_t order, std::int32_t dimension, const Quaternion& from,
                         const Quaternion& to, float (*sets)[MAX_ROTATION_COEFFICIENTS]) {
    const std::int32_t count = rotation_coefficient_count(order, dimension);
    double exact[MAX_ROTATION_COEFFICIENTS];
    const double heading_from = field_heading(from);
    const double turn =
        dimension == 3 ? quat_angle_between(from, to) : wrapped(field_heading(to) - heading_from);
    // At least one step; a half turn takes the most. The small margin keeps a turn of exactly
    // a whole number of steps, give or take rounding, at that number.
    int steps = static_cast<int>(std::ceil(std::fabs(turn) / MAX_STEP_RAD - 1e-9));
    steps = steps < 1 ? 1 : steps > MAX_ROTATION_STEPS ? MAX_ROTATION_STEPS : steps;
    for (int k = 1; k < steps; ++k) {
        const double t = static_cast<double>(k) / steps;
        if (dimension == 3)
            rotation_3d(order, quat_slerp(from, to, t), exact);
        else
            rotation_2d(order, heading_from + t * turn, exact);
        store(count, exact, sets[k - 1]);
    }
    field_rotation(order, dimension, to, exact);
    store(count, exact, sets[steps - 1]);
    return steps;
}

} // namespace tovo::ambi
