// SPDX-License-Identifier: GPL-3.0-or-later
// rot.toypr: a quaternion w x y z, brought to unit length, becomes a tracker's yaw, pitch and
// roll in degrees, the inverse of rot.fromypr: yaw in (-180, 180], pitch in [-90, 90], roll in
// (-180, 180]; facing straight up or down, roll 0 and the whole turn about z as yaw.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotToYpr {
    Object ob;
    Atom result[3]; // yaw, pitch, roll of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotToYpr> &&
              std::is_trivially_default_constructible_v<RotToYpr>);

Class* rot_toypr_class;

// Up to three numbers preset the output list as they are; by default 0 0 0.
void* rot_toypr_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotToYpr*>(newobject(rot_toypr_class));
    atoms_set_floats(x->result, {0.0, 0.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 3);
    x->list_outlet = listout(x);
    return x;
}

void rot_toypr_bang(RotToYpr* x) {
    outlet_list(x->list_outlet, nullptr, 3, x->result);
}

void rot_toypr_do(RotToYpr* x, double qw, double qx, double qy, double qz) {
    const YawPitchRoll a = ypr_from_quat({qw, qx, qy, qz});
    atoms_set_floats(x->result, {a.yaw_deg, a.pitch_deg, a.roll_deg});
    rot_toypr_bang(x);
}

void rot_toypr_list(RotToYpr* x, Symbol*, short argc, Atom* argv) {
    if (argc < 4)
        return;
    rot_toypr_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                 atom_to_double(argv[3]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_toypr_class, rot_toypr_new, nullptr, sizeof(RotToYpr), 0, A_GIMME, 0);
    addbang(rot_toypr_bang);
    addmess(rot_toypr_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_toypr_list, "list", A_GIMME, 0);
    return 0;
}
