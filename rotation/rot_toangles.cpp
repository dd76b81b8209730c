// SPDX-License-Identifier: GPL-3.0-or-later
// rot.toangles: a quaternion w x y z becomes three angles in degrees, about y (-90..90), about x
// and about z (-180..180), for the turns x first, then y, then z about the fixed axes.
// The right outlet is an integer outlet that never sends.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotToAngles {
    Object ob;
    Atom result[3]; // about y, about x, about z of the last output
    Outlet* list_outlet;
    Outlet* int_outlet;
};
static_assert(std::is_standard_layout_v<RotToAngles> &&
              std::is_trivially_default_constructible_v<RotToAngles>);

Class* rot_toangles_class;

// Up to three numbers preset the output list as they are; by default 0 0 0.
void* rot_toangles_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotToAngles*>(newobject(rot_toangles_class));
    atoms_set_floats(x->result, {0.0, 0.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 3);
    x->int_outlet = intout(x);
    x->list_outlet = listout(x);
    return x;
}

void rot_toangles_bang(RotToAngles* x) {
    outlet_list(x->list_outlet, nullptr, 3, x->result);
}

void rot_toangles_do(RotToAngles* x, double qw, double qx, double qy, double qz) {
    const Angles a = angles_from_quat({qw, qx, qy, qz});
    atoms_set_floats(x->result, {a.about_y_deg, a.about_x_deg, a.about_z_deg});
    rot_toangles_bang(x);
}

void rot_toangles_list(RotToAngles* x, Symbol*, short argc, Atom* argv) {
    if (argc < 4)
        return;
    rot_toangles_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                    atom_to_double(argv[3]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_toangles_class, rot_toangles_new, nullptr, sizeof(RotToAngles), 0, A_GIMME, 0);
    addbang(rot_toangles_bang);
    addmess(rot_toangles_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_toangles_list, "list", A_GIMME, 0);
    return 0;
}
