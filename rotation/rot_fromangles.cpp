// SPDX-License-Identifier: GPL-3.0-or-later
// rot.fromangles: three angles in degrees, about y, about x and about z, become a unit
// quaternion w x y z: the turn about z acts first about the fixed axes, then x, then y.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotFromAngles {
    Object ob;
    Atom result[4]; // w x y z of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotFromAngles> &&
              std::is_trivially_default_constructible_v<RotFromAngles>);

Class* rot_fromangles_class;

// Up to four numbers preset the output list as they are; the rest of it is the identity.
void* rot_fromangles_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotFromAngles*>(newobject(rot_fromangles_class));
    atoms_set_floats(x->result, {1.0, 0.0, 0.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 4);
    x->list_outlet = listout(x);
    return x;
}

void rot_fromangles_bang(RotFromAngles* x) {
    outlet_list(x->list_outlet, nullptr, 4, x->result);
}

// "do" is registered with four numbers; the fourth has no effect.
void rot_fromangles_do(RotFromAngles* x, double about_y_deg, double about_x_deg, double about_z_deg,
                       double) {
    const Quaternion q = quat_from_angles({about_y_deg, about_x_deg, about_z_deg});
    atoms_set_floats(x->result, {q.w, q.x, q.y, q.z});
    rot_fromangles_bang(x);
}

void rot_fromangles_list(RotFromAngles* x, Symbol*, short argc, Atom* argv) {
    if (argc < 3)
        return;
    rot_fromangles_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                      0.0);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_fromangles_class, rot_fromangles_new, nullptr, sizeof(RotFromAngles), 0, A_GIMME, 0);
    addbang(rot_fromangles_bang);
    addmess(rot_fromangles_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_fromangles_list, "list", A_GIMME, 0);
    return 0;
}
