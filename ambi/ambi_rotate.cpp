// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.rotate~: turns a whole ambisonic field by a quaternion, or by its reverse turn for a
// listener's head. One signal inlet and one signal outlet per channel, W leftmost; the leftmost
// inlet takes the messages. A new rotation ramps in over the next signal vector.
#include "field_rotation.hpp"
#include "kernels.hpp"
#include "plugin_glue.hpp"
#include "rotate_kernel.hpp"
#include "weights.hpp"

#include "quaternion.hpp"
#include <tovo/api.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

// A change of rotation, handed from the message side to the signal side whole.
struct RotationChange {
    std::int32_t steps; // sub-ramps, 1 to MAX_ROTATION_STEPS
    // The rotation at the end of each sub-ramp; the last is the new rotation.
    float sets[MAX_ROTATION_STEPS][MAX_ROTATION_COEFFICIENTS];
};

// Three changes circulate: the one the message side fills, the one handed over, the one the
// signal side plays. The handed-over slot's index carries CHANGE_FRESH until the signal side
// takes it.
constexpr std::int32_t CHANGE_SLOTS = 3;
constexpr std::int32_t CHANGE_INDEX = 3;
constexpr std::int32_t CHANGE_FRESH = 4;

struct AmbiRotate {
    SignalObject z;
    AmbiFormat format;
    Quaternion quaternion; // as received, at unit length
    std::int32_t inverse;  // 1: turn by the quaternion's reverse
    // Message side: the turn of the last change handed over, and where that change starts.
    Quaternion handed;
    Quaternion handed_from;
    std::int32_t filling; // the slot the message side fills next
    // Shared: the slot handed over, with CHANGE_FRESH until the signal side takes it.
    std::int32_t exchange;
    // Signal side: the slot it took last, and the rotation it has reached.
    std::int32_t playing;
    float current[MAX_ROTATION_COEFFICIENTS];
    RotationChange changes[CHANGE_SLOTS];
    void** dsp_args; // perform arguments of the last "dsp"; released at the next one
};
static_assert(std::is_standard_layout_v<AmbiRotate> &&
              std::is_trivially_default_constructible_v<AmbiRotate>);

Class* ambi_rotate_class;

// The turn the field takes: the quaternion, or its conjugate.
Quaternion rotate_turn(const AmbiRotate* x) {
    const Quaternion& q = x->quaternion;
    return x->inverse ? Quaternion{q.w, -q.x, -q.y, -q.z} : q;
}

// Plans the change to the current turn and hands it over. A change not yet taken is replaced, and
// the new one then starts where that one would have: where the signal side still is.
void rotate_hand_over(AmbiRotate* x) {
    const Quaternion to = rotate_turn(x);
    std::atomic_ref<std::int32_t> exchange(x->exchange);
    std::int32_t seen = exchange.load(std::memory_order_acquire);
    const std::int32_t order = x->format.order, dimension = x->format.dimension;
    RotationChange& change = x->changes[x->filling];
    if (seen & CHANGE_FRESH) {
        change.steps = plan_rotation_change(order, dimension, x->handed_from, to, change.sets);
        if (exchange.compare_exchange_strong(seen, x->filling | CHANGE_FRESH,
                                             std::memory_order_acq_rel)) {
            x->filling = seen & CHANGE_INDEX;
            x->handed = to;
            return;
        }
        // Taken meanwhile: the signal side is on its way to the turn handed last.
    }
    change.steps = plan_rotation_change(order, dimension, x->handed, to, change.sets);
    const std::int32_t previous =
        exchange.exchange(x->filling | CHANGE_FRESH, std::memory_order_acq_rel);
    x->filling = previous & CHANGE_INDEX;
    x->handed_from = x->handed;
    x->handed = to;
}

void* ambi_rotate_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<AmbiRotate*>(newobject(ambi_rotate_class));
    if (!x)
        return nullptr;
    std::int32_t inverse = 0;
    x->format = read_creation_format(argc, argv, [&](const Atom& a) {
        if (a.a_type == A_SYM && a.a_w.w_sym == gensym("inverse"))
            inverse = 1;
    });
    const std::int32_t order = x->format.order, dimension = x->format.dimension;
    const std::int32_t nc = x->format.channel_count;
    z_dsp_setup(&x->z, static_cast<short>(nc));

    // The identity, reached and handed over: the first rotation ramps in from no turn.
    x->quaternion = {1.0, 0.0, 0.0, 0.0};
    x->inverse = inverse;
    x->handed = x->handed_from = x->quaternion;
    x->filling = 0;
    x->exchange = 1;
    x->playing = 2;
    double identity[MAX_ROTATION_COEFFICIENTS];
    field_rotation(order, dimension, x->quaternion, identity);
    for (int k = 0; k < rotation_coefficient_count(order, dimension); ++k)
        x->current[k] = static_cast<float>(identity[k]);

    for (std::int32_t c = 0; c < nc; ++c)
        outlet_new(x, "signal");
    // Every output mixes several inputs: an outlet may not share an inlet's buffer.
    x->z.z_misc = Z_NO_INPLACE;
    return x;
}

void ambi_rotate_free(AmbiRotate* x) {
    z_dsp_free(&x->z);
    free_perform_args(x->dsp_args);
}

// The shortest text that reads back as the same float, as the host prints numbers.
void shortest_text(float v, char (&text)[32]) {
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v)
            return;
    }
}

void ambi_rotate_dump(AmbiRotate* x) {
    const Quaternion& q = x->quaternion;
    char w[32], qx[32], qy[32], qz[32];
    shortest_text(static_cast<float>(q.w), w);
    shortest_text(static_cast<float>(q.x), qx);
    shortest_text(static_cast<float>(q.y), qy);
    shortest_text(static_cast<float>(q.z), qz);
    post("--- properties of ambi.rotate~:");
    post("%ld-D %ldth order, rotates %ld channels", static_cast<long>(x->format.dimension),
         static_cast<long>(x->format.order), static_cast<long>(x->format.channel_count));
    post("\tquaternion %s %s %s %s", w, qx, qy, qz);
    post("\tinverse %ld", static_cast<long>(x->inverse));
}

// Four finite numbers w x y z, not all zero; anything else leaves the rotation as it is.
void ambi_rotate_quat(AmbiRotate* x, Symbol*, short argc, Atom* argv) {
    bool numbers = argc >= 4;
    for (short i = 0; numbers && i < 4; ++i)
        numbers = argv[i].a_type == A_FLOAT || argv[i].a_type == A_LONG;
    Quaternion q = numbers ? quat_from_atoms(4, argv) : Quaternion{};
    if (!numbers || !std::isfinite(q.w + q.x + q.y + q.z)) {
        error("ambi.rotate~: a rotation is four finite numbers w x y z");
        return;
    }
    if (!quat_unit(q)) {
        error("ambi.rotate~: 0 0 0 0 is no rotation");
        return;
    }
    x->quaternion = q;
    rotate_hand_over(x);
}

void ambi_rotate_inverse(AmbiRotate* x, std::int32_t on) {
    x->inverse = on != 0;
    rotate_hand_over(x);
}

// Arguments: instance, vector length, entry count, the channel_count inlet vectors, then the
// channel_count outlet vectors.
template <KernelPath path> std::intptr_t* ambi_rotate_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiRotate*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const std::int32_t order = x->format.order, dimension = x->format.dimension;
    const std::int32_t nc = x->format.channel_count;
    const float* in[MAX_CHANNELS];
    float* out[MAX_CHANNELS];
    perform_vectors(w, nc, in, nc, out);
    std::atomic_ref<std::int32_t> exchange(x->exchange);
    if (!(exchange.load(std::memory_order_relaxed) & CHANGE_FRESH)) {
        kernels(path).rotate_steady(order, dimension, x->current, in, out, n);
        return w + entries + 1;
    }
    // A change: take it, and give back the slot played last.
    x->playing = exchange.exchange(x->playing, std::memory_order_acq_rel) & CHANGE_INDEX;
    const RotationChange& change = x->changes[x->playing];
    const int steps = change.steps;
    // Sub-ramp k ends on set k; with fewer samples than sub-ramps some are empty, and every
    // sample still lies between two rotations at most a step apart.
    for (int k = 0; k < steps; ++k) {
        const long begin = n * k / steps;
        const long end = n * (k + 1) / steps;
        kernels(path).rotate_ramp(order, dimension, k == 0 ? x->current : change.sets[k - 1],
                                  change.sets[k], in, out, begin, end);
    }
    std::copy(change.sets[steps - 1], change.sets[steps - 1] + MAX_ROTATION_COEFFICIENTS,
              x->current);
    return w + entries + 1;
}

constexpr auto ROTATE_PERFORM =
    perform_per_path([]<KernelPath path>() { return ambi_rotate_perform<path>; });

void ambi_rotate_dsp(AmbiRotate* x, Signal** sp, short*) {
    add_perform(x, x->dsp_args, ROTATE_PERFORM[kernel_path()], sp, 2 * x->format.channel_count);
}

void ambi_rotate_assist(AmbiRotate* x, void*, long kind, long index, char* text) {
    if (index < 0 || index >= x->format.channel_count)
        return;
    const char letter = x->format.letters[index];
    if (kind == 1 && index == 0)
        sprintf(text, "field in, channel %c (signal); quat w x y z, inverse 0/1, dump", letter);
    else if (kind == 1)
        sprintf(text, "field in, channel %c (signal)", letter);
    else if (kind == 2)
        sprintf(text, "rotated field, channel %c (signal)", letter);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&ambi_rotate_class, ambi_rotate_new, ambi_rotate_free, sizeof(AmbiRotate), 0, A_GIMME, 0);
    addmess(ambi_rotate_quat, "quat", A_GIMME, 0);
    addmess(ambi_rotate_quat, "list", A_GIMME, 0);
    addmess(ambi_rotate_inverse, "inverse", A_LONG, 0);
    addmess(ambi_rotate_dump, "dump", 0);
    addmess(ambi_rotate_dsp, "dsp", A_CANT, 0);
    addmess(ambi_rotate_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 1;
}
