// SPDX-License-Identifier: GPL-3.0-or-later
// Quaternion reading, normalisation, product, matrix and vector rotation shared by the rotation
// objects.
#include "quaternion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tovo {
using namespace host;

Quaternion quat_from_atoms(short argc, const Atom* argv) {
    Quaternion q{0.0, 0.0, 0.0, 0.0};
    quat_update_from_atoms(argc, argv, q);
    return q;
}

void quat_update_from_atoms(short argc, const Atom* argv, Quaternion& q) {
    double* component[] = {&q.w, &q.x, &q.y, &q.z};
    for (short i = 0; i < argc && i < 4; ++i)
        *component[i] = atom_to_double(argv[i]);
}

Vector vector_from_atoms(short argc, const Atom* argv) {
    Vector v{0.0, 0.0, 0.0};
    double* component[] = {&v.x, &v.y, &v.z};
    for (short i = 0; i < argc && i < 3; ++i)
        *component[i] = atom_to_double(argv[i]);
    return v;
}

void quat_normalize(Quaternion& q) {
    const double n = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
    // n * n, not n: a squared norm below 0.001 (a length below about 0.0316) has no direction.
    if (n * n < VANISHING_SQUARED_NORM_SQUARED) {
        q = {1.0, 0.0, 0.0, 0.0};
        return;
    }
    // Within the band nothing is rescaled, so a held orientation does not drift by repeated
    // rounding; a NaN fails every test and is left as it is.
    if (n > UNIT_BAND_HIGH || n < UNIT_BAND_LOW) {
        const double s = 1.0 / std::sqrt(n);
        q.w *= s;
        q.x *= s;
        q.y *= s;
        q.z *= s;
    }
}

Quaternion quat_multiply(const Quaternion& a, const Quaternion& b) {
    return {
        a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
        a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
        a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
        a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
    };
}

RotationMatrix quat_to_matrix(const Quaternion& q) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    return {{
        1.0 - 2.0 * y * y - 2.0 * z * z,
        2.0 * x * y - 2.0 * w * z,
        2.0 * x * z + 2.0 * w * y,
        0.0,
        2.0 * x * y + 2.0 * w * z,
        1.0 - 2.0 * x * x - 2.0 * z * z,
        2.0 * y * z - 2.0 * w * x,
        0.0,
        2.0 * x * z - 2.0 * w * y,
        2.0 * y * z + 2.0 * w * x,
        1.0 - 2.0 * x * x - 2.0 * y * y,
        0.0,
        0.0,
        0.0,
        0.0,
        1.0,
    }};
}

Vector rotate_vector(const RotationMatrix& m, const Vector& v) {
    const double* r = m.m;
    return {
        r[0] * v.x + r[1] * v.y + r[2] * v.z,
        r[4] * v.x + r[5] * v.y + r[6] * v.z,
        r[8] * v.x + r[9] * v.y + r[10] * v.z,
    };
}

bool quat_unit(Quaternion& q) {
    const double c[] = {q.w, q.x, q.y, q.z};
    double largest = 0.0;
    for (double v : c) {
        if (!std::isfinite(v))
            return false;
        largest = std::max(largest, std::fabs(v));
    }
    if (largest == 0.0)
        return false;
    // Scaled by the largest component first, so that neither 1e38 nor 1e-40 leaves the range of
    // the squares.
    const double w = q.w / largest, x = q.x / largest, y = q.y / largest, z = q.z / largest;
    const double length = std::sqrt(w * w + x * x + y * y + z * z);
    q = {w / length, x / length, y / length, z / length};
    return true;
}

namespace {

double quat_dot(const Quaternion& a, const Quaternion& b) {
    return a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
}

} // namespace

double quat_angle_between(const Quaternion& a, const Quaternion& b) {
    // From the half-angle's sine and cosine rather than an arc cosine of the dot product, which
    // loses half the digits for small turns.
    const double d = quat_dot(a, b);
    const Quaternion e = d < 0 ? Quaternion{-b.w, -b.x, -b.y, -b.z} : b;
    const Quaternion diff{a.w - e.w, a.x - e.x, a.y - e.y, a.z - e.z};
    const Quaternion sum{a.w + e.w, a.x + e.x, a.y + e.y, a.z + e.z};
    return 4.0 * std::atan2(std::sqrt(quat_dot(diff, diff)), std::sqrt(quat_dot(sum, sum)));
}

Quaternion quat_slerp(const Quaternion& a, const Quaternion& b, double t) {
    const Quaternion e = quat_dot(a, b) < 0 ? Quaternion{-b.w, -b.x, -b.y, -b.z} : b;
    const double half = quat_angle_between(a, e) / 2.0;
    const double s = std::sin(half);
    // Closer than rounding can tell apart: the straight line is the arc.
    const double p = s < 1e-12 ? 1.0 - t : std::sin((1.0 - t) * half) / s;
    const double r = s < 1e-12 ? t : std::sin(t * half) / s;
    Quaternion q{p * a.w + r * e.w, p * a.x + r * e.x, p * a.y + r * e.y, p * a.z + r * e.z};
    quat_unit(q);
    return q;
}

bool renorm_due(std::int32_t& product_count, std::int32_t renorm_interval) {
    const std::int32_t c = product_count;
    // Saturate rather than overflow when the interval is the largest integer.
    product_count = c < std::numeric_limits<std::int32_t>::max() ? c + 1 : c;
    if (c > renorm_interval) {
        product_count = 0;
        return true;
    }
    return false;
}

void atoms_set_floats(Atom* out, std::initializer_list<double> values) {
    for (double v : values)
        atom_setfloat(out++, to_atom_float(v));
}

void atoms_update_floats(short argc, const Atom* argv, Atom* out, int n) {
    for (int i = 0; i < argc && i < n; ++i)
        atom_setfloat(&out[i], static_cast<float>(atom_to_double(argv[i])));
}

} // namespace tovo
