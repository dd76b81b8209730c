// SPDX-License-Identifier: GPL-3.0-or-later
// Quaternions as every rotation object reads, composes and sends them: w x y z with the scalar
// first, the 4x4 rotation matrix a quaternion stands for, and the reading of numbers from atoms.
// Pure functions of their arguments: no state, no console, no failure.
#pragma once

#include <tovo/atom.hpp>

#include <cstdint>
#include <initializer_list>

namespace tovo {

// w x y z, scalar part first; a unit quaternion is a rotation, q and -q the same one.
struct Quaternion {
    double w, x, y, z;
};

struct Vector {
    double x, y, z;
};

// 4x4 homogeneous rotation, row-major: entry 4r + c is row r, column c.
struct RotationMatrix {
    double m[16];
};

// Squared norms inside this band count as unit length and are never rescaled.
inline constexpr double UNIT_BAND_LOW = 0.999999;
inline constexpr double UNIT_BAND_HIGH = 1.000001;
// Below this, the square of the squared norm marks a quaternion too short to carry a direction.
inline constexpr double VANISHING_SQUARED_NORM_SQUARED = 1e-6;

// Components w x y z from atoms 0..3; missing ones are 0, atoms after the fourth are ignored.
Quaternion quat_from_atoms(short argc, const host::Atom* argv);
// Replaces only the components the atoms give; the rest keep their values.
void quat_update_from_atoms(short argc, const host::Atom* argv, Quaternion& q);
// x y z from atoms 0..2; missing ones are 0, atoms after the third are ignored.
Vector vector_from_atoms(short argc, const host::Atom* argv);

// Unit length within the band; a vanishing quaternion becomes the identity.
void quat_normalize(Quaternion& q);
// Hamilton product a * b: as matrices M(a) M(b), so b turns a vector first.
Quaternion quat_multiply(const Quaternion& a, const Quaternion& b);
// Diagonal written as 1 minus squares: a quaternion of another length is not a scaled rotation.
RotationMatrix quat_to_matrix(const Quaternion& q);
// m times v as a column vector; row 3 and column 3 are not used.
Vector rotate_vector(const RotationMatrix& m, const Vector& v);

// q scaled to unit length exactly, whatever its length (no band, no identity for short ones):
// false, with q unchanged, when it is all zero or holds a NaN or an infinity.
bool quat_unit(Quaternion& q);
// The turn between two unit rotations, in radians from 0 to pi (q and -q are the same rotation).
double quat_angle_between(const Quaternion& a, const Quaternion& b);
// Unit quaternions a to b along the shorter great arc, t from 0 (a) to 1 (b or -b): the turn by
// a constant rate about one axis.
Quaternion quat_slerp(const Quaternion& a, const Quaternion& b, double t);

// Counts one product of a held orientation; true when the count found exceeds the interval, and
// the count then restarts at 0. The period is interval + 2 products (every one when negative).
bool renorm_due(std::int32_t& product_count, std::int32_t renorm_interval);

// Output lists: each value rounded to a single-precision float atom, in order; a value beyond
// single precision (a huge input turned or scaled) goes out as the largest float of its sign.
void atoms_set_floats(host::Atom* out, std::initializer_list<double> values);
// Creation arguments that preset an output list: atom i replaces slot i, for i < min(argc, n).
void atoms_update_floats(short argc, const host::Atom* argv, host::Atom* out, int n);

} // namespace tovo
