// SPDX-License-Identifier: GPL-3.0-or-later
// gain~: a test signal object, out = in * gain. With the creation word "noinplace" it asks for
// separate buffers; each "dsp" reports whether the host gave it the same buffer in and out.
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct Gain {
    SignalObject z;
    float gain;
};
static_assert(std::is_standard_layout_v<Gain> && std::is_trivially_default_constructible_v<Gain>);

Class* gain_class;

void* gain_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Gain*>(newobject(gain_class));
    x->gain = 1.0f;
    for (short i = 0; i < argc; ++i) {
        if (argv[i].a_type != A_SYM)
            x->gain = static_cast<float>(atom_to_double(argv[i]));
        else if (argv[i].a_w.w_sym == gensym("noinplace"))
            x->z.z_misc = Z_NO_INPLACE;
    }
    z_dsp_setup(&x->z, 1);
    outlet_new(x, "signal");
    return x;
}

void gain_set(Gain* x, double g) {
    x->gain = static_cast<float>(g);
}

std::intptr_t* gain_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Gain*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const auto* in = reinterpret_cast<const float*>(w[3]);
    auto* out = reinterpret_cast<float*>(w[4]);
    for (long j = 0; j < n; ++j)
        out[j] = in[j] * x->gain;
    return w + 5;
}

void gain_dsp(Gain* x, Signal** sp, short* count) {
    post("gain~ %g: %s, %d cords in, %d out", static_cast<double>(x->gain),
         sp[0]->s_vec == sp[1]->s_vec ? "in place" : "separate buffers", count[0], count[1]);
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec, sp[1]->s_vec};
    dsp_addv(gain_perform, 4, args);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&gain_class, gain_new, z_dsp_free, sizeof(Gain), 0, A_GIMME, 0);
    addmess(gain_set, "gain", A_FLOAT, 0);
    addmess(gain_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}
