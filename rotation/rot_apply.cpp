// SPDX-License-Identifier: GPL-3.0-or-later
// rot.apply: turns vectors by a stored quaternion, used exactly as received (never normalised).
// A vector list is turned and sent; a "quat" message rebuilds the matrix and sends the stored
// vector turned anew; "dump" prints the matrix.
#include "quaternion.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotApply {
    Object ob;
    Quaternion state;      // the last quaternion received
    RotationMatrix matrix; // always quat_to_matrix(state)
    Vector vector;         // the last vector received
    Atom result[3];        // x y z of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotApply> &&
              std::is_trivially_default_constructible_v<RotApply>);

Class* rot_apply_class;

void rot_apply_output(RotApply* x) {
    const Vector v = rotate_vector(x->matrix, x->vector);
    atoms_set_floats(x->result, {v.x, v.y, v.z});
    outlet_list(x->list_outlet, nullptr, 3, x->result);
}

// w x y z, all four or none. The matrix is built at once, so a new box turns vectors by its
// own quaternion (the identity without arguments) before any "quat" arrives.
void* rot_apply_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotApply*>(newobject(rot_apply_class));
    x->state = {1.0, 0.0, 0.0, 0.0};
    if (argc >= 4)
        x->state = quat_from_atoms(argc, argv);
    x->matrix = quat_to_matrix(x->state);
    x->vector = {0.0, 0.0, 0.0};
    atoms_set_floats(x->result, {0.0, 0.0, 0.0});
    x->list_outlet = listout(x);
    return x;
}

void rot_apply_bang(RotApply* x) {
    outlet_list(x->list_outlet, nullptr, 3, x->result);
}

// A list too short to be a vector changes nothing and repeats the last output.
void rot_apply_list(RotApply* x, Symbol*, short argc, Atom* argv) {
    if (argc < 3) {
        rot_apply_bang(x);
        return;
    }
    x->vector = vector_from_atoms(argc, argv);
    rot_apply_output(x);
}

void rot_apply_quat(RotApply* x, Symbol*, short argc, Atom* argv) {
    quat_update_from_atoms(argc, argv, x->state);
    x->matrix = quat_to_matrix(x->state);
    rot_apply_output(x);
}

void rot_apply_dump(RotApply* x, Symbol*, short, Atom*) {
    const double* m = x->matrix.m;
    for (int r = 0; r < 4; ++r)
        post("%f \t%f \t%f \t%f", m[4 * r], m[4 * r + 1], m[4 * r + 2], m[4 * r + 3]);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_apply_class, rot_apply_new, nullptr, sizeof(RotApply), 0, A_GIMME, 0);
    addbang(rot_apply_bang);
    addmess(rot_apply_list, "list", A_GIMME, 0);
    addmess(rot_apply_quat, "quat", A_GIMME, 0);
    addmess(rot_apply_dump, "dump", A_GIMME, 0);
    return 0;
}
