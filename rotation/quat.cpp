// SPDX-License-Identifier: GPL-3.0-or-later
// quat: holds one orientation as a unit quaternion. "mul" composes a turn into it, "set" and
// lists replace components, "reset" returns to the identity, "rotate" turns a vector by it.
// Left outlet: the quaternion w x y z; right outlet: turned vectors x y z.
#include "quaternion.hpp"
#include <tovo/api.hpp>

#include <cstdint>
#include <type_traits>

namespace tovo {
using namespace host;

inline constexpr std::int32_t DEFAULT_RENORM_INTERVAL = 30;

struct QuatAccumulator {
    Object ob;
    Quaternion state; // kept within the unit band after every change
    Atom result[4];   // w x y z, refilled before each quaternion output
    Atom rotated[3];  // x y z of the last "rotate"
    std::int32_t renorm_interval;
    std::int32_t product_count; // "mul" messages since creation, "reset" or renormalisation
    Outlet* quat_outlet;
    Outlet* vector_outlet;
};
static_assert(std::is_standard_layout_v<QuatAccumulator> &&
              std::is_trivially_default_constructible_v<QuatAccumulator>);

Class* quat_class;

void quat_output(QuatAccumulator* x) {
    atoms_set_floats(x->result, {x->state.w, x->state.x, x->state.y, x->state.z});
    outlet_list(x->quat_outlet, nullptr, 4, x->result);
}

void quat_identity(QuatAccumulator* x) {
    x->state = {1.0, 0.0, 0.0, 0.0};
    x->product_count = 0;
    atoms_set_floats(x->result, {1.0, 0.0, 0.0, 0.0});
}

// Components not given keep their values before the whole is normalised.
void quat_replace(QuatAccumulator* x, short argc, const Atom* argv) {
    quat_update_from_atoms(argc, argv, x->state);
    quat_normalize(x->state);
}

// [interval] with up to three arguments; w x y z [interval] with four or more. Only an integer
// atom sets the interval.
void* quat_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<QuatAccumulator*>(newobject(quat_class));
    quat_identity(x);
    x->renorm_interval = DEFAULT_RENORM_INTERVAL;
    const short interval_at = argc >= 4 ? 4 : 0;
    if (argc >= 4)
        x->state = quat_from_atoms(argc, argv);
    if (argc > interval_at && argv[interval_at].a_type == A_LONG)
        x->renorm_interval = atom_to_long(argv[interval_at]);
    quat_normalize(x->state);
    x->vector_outlet = listout(x);
    x->quat_outlet = listout(x);
    return x;
}

void quat_bang(QuatAccumulator* x) {
    quat_output(x);
}

void quat_mul(QuatAccumulator* x, Symbol*, short argc, Atom* argv) {
    Quaternion b = quat_from_atoms(argc, argv);
    // The state is normalised after every product anyway; the periodic pass is kept for its
    // count, which "reset" restarts.
    if (renorm_due(x->product_count, x->renorm_interval))
        quat_normalize(x->state);
    quat_normalize(b);
    x->state = quat_multiply(x->state, b); // b acts first, in the frame the state has turned
    quat_normalize(x->state);
    quat_output(x);
}

void quat_rotate(QuatAccumulator* x, Symbol*, short argc, Atom* argv) {
    const Vector v = rotate_vector(quat_to_matrix(x->state), vector_from_atoms(argc, argv));
    atoms_set_floats(x->rotated, {v.x, v.y, v.z});
    outlet_list(x->vector_outlet, nullptr, 3, x->rotated);
}

void quat_reset(QuatAccumulator* x) {
    quat_identity(x);
}

void quat_list(QuatAccumulator* x, Symbol*, short argc, Atom* argv) {
    quat_replace(x, argc, argv);
    quat_output(x);
}

void quat_set(QuatAccumulator* x, Symbol*, short argc, Atom* argv) {
    quat_replace(x, argc, argv);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&quat_class, quat_new, nullptr, sizeof(QuatAccumulator), 0, A_GIMME, 0);
    addbang(quat_bang);
    addmess(quat_mul, "mul", A_GIMME, 0);
    addmess(quat_rotate, "rotate", A_GIMME, 0);
    addmess(quat_reset, "reset", 0);
    addmess(quat_list, "list", A_GIMME, 0);
    addmess(quat_set, "set", A_GIMME, 0);
    return 0;
}
