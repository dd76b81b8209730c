// SPDX-License-Identifier: GPL-3.0-or-later
// rot.fromturn: a turn given as an angle in degrees and a direction (its axis) becomes a unit
// quaternion w x y z; a positive angle turns by the right-hand rule about the direction.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotFromTurn {
    Object ob;
    Atom result[4]; // w x y z of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotFromTurn> &&
              std::is_trivially_default_constructible_v<RotFromTurn>);

Class* rot_fromturn_class;

// Up to four numbers preset the output list as they are; the rest of it is the identity.
void* rot_fromturn_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotFromTurn*>(newobject(rot_fromturn_class));
    atoms_set_floats(x->result, {1.0, 0.0, 0.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 4);
    x->list_outlet = listout(x);
    return x;
}

void rot_fromturn_bang(RotFromTurn* x) {
    outlet_list(x->list_outlet, nullptr, 4, x->result);
}

void rot_fromturn_do(RotFromTurn* x, double angle_deg, double dx, double dy, double dz) {
    const Quaternion q = quat_from_turn(angle_deg, {dx, dy, dz});
    atoms_set_floats(x->result, {q.w, q.x, q.y, q.z});
    rot_fromturn_bang(x);
}

void rot_fromturn_list(RotFromTurn* x, Symbol*, short argc, Atom* argv) {
    if (argc < 4)
        return;
    rot_fromturn_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                    atom_to_double(argv[3]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_fromturn_class, rot_fromturn_new, nullptr, sizeof(RotFromTurn), 0, A_GIMME, 0);
    addbang(rot_fromturn_bang);
    addmess(rot_fromturn_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_fromturn_list, "list", A_GIMME, 0);
    return 0;
}
