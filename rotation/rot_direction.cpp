// SPDX-License-Identifier: GPL-3.0-or-later
// rot.direction: the direction into which a quaternion w x y z turns the body axes chosen at
// creation ("x", "-y", "Z", ...; z alone without arguments), summed, as x y z.
#include "conversions.hpp"
#include <tovo/api.hpp>

#include <cstdint>
#include <type_traits>

namespace tovo {
using namespace host;

struct RotDirection {
    Object ob;
    Atom result[3]; // x y z of the last output
    Outlet* list_outlet;
    std::int32_t axis_x; // -1, 0 or +1: factor of each turned axis in the sum
    std::int32_t axis_y;
    std::int32_t axis_z;
};
static_assert(std::is_standard_layout_v<RotDirection> &&
              std::is_trivially_default_constructible_v<RotDirection>);

Class* rot_direction_class;

void rot_direction_store(RotDirection* x, const Quaternion& q) {
    const Vector d = axes_direction(q, x->axis_x, x->axis_y, x->axis_z);
    atoms_set_floats(x->result, {d.x, d.y, d.z});
}

// Axis words in any number; a later word for the same axis wins, anything else is skipped.
void* rot_direction_new(Symbol*, short argc, Atom* argv) {
    struct AxisWord {
        const char* text;
        std::int32_t RotDirection::*axis;
        std::int32_t factor;
    };
    static constexpr AxisWord words[] = {
        {"x", &RotDirection::axis_x, 1},   {"X", &RotDirection::axis_x, 1},
        {"y", &RotDirection::axis_y, 1},   {"Y", &RotDirection::axis_y, 1},
        {"z", &RotDirection::axis_z, 1},   {"Z", &RotDirection::axis_z, 1},
        {"-x", &RotDirection::axis_x, -1}, {"-X", &RotDirection::axis_x, -1},
        {"-y", &RotDirection::axis_y, -1}, {"-Y", &RotDirection::axis_y, -1},
        {"-z", &RotDirection::axis_z, -1}, {"-Z", &RotDirection::axis_z, -1},
    };
    auto* x = static_cast<RotDirection*>(newobject(rot_direction_class));
    x->axis_x = x->axis_y = x->axis_z = 0;
    if (argc == 0)
        x->axis_z = 1;
    for (short i = 0; i < argc; ++i) {
        if (argv[i].a_type != A_SYM)
            continue;
        for (const AxisWord& word : words)
            if (argv[i].a_w.w_sym == gensym(word.text))
                x->*word.axis = word.factor;
    }
    // Before any input, bang sends the chosen axes as they stand under no rotation.
    rot_direction_store(x, {1.0, 0.0, 0.0, 0.0});
    x->list_outlet = listout(x);
    return x;
}

void rot_direction_bang(RotDirection* x) {
    outlet_list(x->list_outlet, nullptr, 3, x->result);
}

void rot_direction_do(RotDirection* x, double qw, double qx, double qy, double qz) {
    rot_direction_store(x, {qw, qx, qy, qz});
    rot_direction_bang(x);
}

void rot_direction_list(RotDirection* x, Symbol*, short argc, Atom* argv) {
    if (argc < 4)
        return;
    rot_direction_do(x, atom_to_double(argv[0]), atom_to_double(argv[1]), atom_to_double(argv[2]),
                     atom_to_double(argv[3]));
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&rot_direction_class, rot_direction_new, nullptr, sizeof(RotDirection), 0, A_GIMME, 0);
    addbang(rot_direction_bang);
    addmess(rot_direction_do, "do", A_FLOAT, A_FLOAT, A_FLOAT, A_FLOAT, 0);
    addmess(rot_direction_list, "list", A_GIMME, 0);
    return 0;
}
