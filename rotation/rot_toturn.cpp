// SPDX-License-Identifier: GPL-3.0-or-later
// rot.toturn: a quaternion w x y z becomes the turn it describes, as an angle in degrees
// (0 to 360) and a direction: angle dx dy dz.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotToTurn {
    Object ob;
    Atom result[4]; // angle dx dy dz of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotToTurn> &&
              std::is_trivially_default_constructible_v<RotToTurn>);

Class* rot_toturn_class;

// Up to four numbers preset the output list as they are; by default angle 0 about y.
void* rot_toturn_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotToTurn*>(newobject(rot_toturn_class));
    atoms_set_floats(x->result, {0.0, 0.0, 1.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 4);
    x->list_outlet = listout(x);
    return x;
}

void rot_toturn_bang(RotToTurn* x) {
    outlet_list(x->list_outlet, nullptr, 4, x->result);
}

void rot_toturn_do(RotToTurn* x, double qw, double qx, double qy, double qz) {
    const Turn t = turn_from_quat({qw, qx, qy, qz});
    atoms_set_floats(x->result, {t.angle_deg, t.direction.x, t.direction.y, t.direction.z});
    rot_toturn_bang(x);
}

void rot_toturn_list(RotToTurn* x, Symbol*, short argc, Atom* argv) {
    if (argc < 4)
        return;
    rot_toturn_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                  atom_to_double(argv[3]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_toturn_class, rot_toturn_new, nullptr, sizeof(RotToTurn), 0, A_GIMME, 0);
    addbang(rot_toturn_bang);
    addmess(rot_toturn_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_toturn_list, "list", A_GIMME, 0);
    return 0;
}
