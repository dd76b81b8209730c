// SPDX-License-Identifier: GPL-3.0-or-later
// rot.reverse: sends the rotation that undoes the one received, the conjugate of the
// normalised quaternion w x y z.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct RotReverse {
    Object ob;
    Atom result[4]; // w x y z of the last output
    Outlet* list_outlet;
};
static_assert(std::is_standard_layout_v<RotReverse> &&
              std::is_trivially_default_constructible_v<RotReverse>);

Class* rot_reverse_class;

// Up to four numbers preset the output list as they are; the rest of it is the identity.
void* rot_reverse_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<RotReverse*>(newobject(rot_reverse_class));
    atoms_set_floats(x->result, {1.0, 0.0, 0.0, 0.0});
    atoms_update_floats(argc, argv, x->result, 4);
    x->list_outlet = listout(x);
    return x;
}

void rot_reverse_bang(RotReverse* x) {
    outlet_list(x->list_outlet, nullptr, 4, x->result);
}

void rot_reverse_do(RotReverse* x, double qw, double qx, double qy, double qz) {
    const Quaternion r = quat_reverse({qw, qx, qy, qz});
    atoms_set_floats(x->result, {r.w, r.x, r.y, r.z});
    rot_reverse_bang(x);
}

void rot_reverse_list(RotReverse* x, Symbol*, short argc, Atom* argv) {
    if (argc < 4)
        return;
    rot_reverse_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                   atom_to_double(argv[3]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_reverse_class, rot_reverse_new, nullptr, sizeof(RotReverse), 0, A_GIMME, 0);
    addbang(rot_reverse_bang);
    addmess(rot_reverse_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_reverse_list, "list", A_GIMME, 0);
    return 0;
}
