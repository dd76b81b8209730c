// SPDX-License-Identifier: GPL-3.0-or-later
// rot.fromypr: a tracker's yaw, pitch and roll in degrees become a unit quaternion w x y z: yaw
// about z (to the left), then pitch about the turned y axis (nose up), then roll about the
// twice-turned x axis (right ear down).
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotFromYpr {
    Object ob;
    Atom result[4]; // w x y z of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotFromYpr> &&
              std::is_trivially_default_constructible_v<RotFromYpr>);

Class* rot_fromypr_class;

// Up to four numbers preset the output list as they are; the rest of it is the identity.
void* rot_fromypr_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotFromYpr*>(newobject(rot_fromypr_class));
    atoms_set_floats(x->result, {1.0, 0.0, 0.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 4);
    x->list_outlet = listout(x);
    return x;
}

void rot_fromypr_bang(RotFromYpr* x) {
    outlet_list(x->list_outlet, nullptr, 4, x->result);
}

void rot_fromypr_do(RotFromYpr* x, double yaw_deg, double pitch_deg, double roll_deg) {
    const Quaternion q = quat_from_ypr({yaw_deg, pitch_deg, roll_deg});
    atoms_set_floats(x->result, {q.w, q.x, q.y, q.z});
    rot_fromypr_bang(x);
}

void rot_fromypr_list(RotFromYpr* x, Symbol*, short argc, Atom* argv) {
    if (argc < 3)
        return;
    rot_fromypr_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_fromypr_class, rot_fromypr_new, nullptr, sizeof(RotFromYpr), 0, A_GIMME, 0);
    addbang(rot_fromypr_bang);
    addmess(rot_fromypr_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_fromypr_list, "list", A_GIMME, 0);
    return 0;
}
