// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.encode~: places one mono signal at an azimuth and elevation in a 2-D or 3-D
// ambisonic field of order 1 to 3. One signal inlet; one signal outlet per channel, W leftmost,
// each carrying the input times that channel's harmonic for the current direction.
#include "kernels.hpp"
#include "plugin_glue.hpp"
#include "weights.hpp"
#include <tovo/angles.hpp>
#include <tovo/api.hpp>
#include <tovo/relaxed.hpp>

#include <cstdint>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

// The W gain: 1/sqrt(2) rounded to single precision.
constexpr float W_WEIGHT = 0.70710677f;

struct AmbiEncoder {
    SignalObject z;
    AmbiFormat format;
    std::int32_t in_degrees;     // unit of the stored direction and of incoming angles: 0 radians
    float weights[MAX_CHANNELS]; // gain per channel in channel order, W first
    float azimuth;               // in the current unit
    float elevation;             // in the current unit
    void** dsp_args;             // perform arguments of the last "dsp"; released at the next one
    std::uint32_t settings_version; // counts the handlers' changes to weights (tovo/relaxed.hpp)
    // The perform routine's own copy of weights, taken at gains_version.
    std::uint32_t gains_version;
    float gains[MAX_CHANNELS];
};
static_assert(std::is_standard_layout_v<AmbiEncoder> &&
              std::is_trivially_default_constructible_v<AmbiEncoder>);

Class* ambi_encode_class;

void ambi_encode_update_weights(AmbiEncoder* x) {
    float azimuth_rad = x->azimuth;
    float elevation_rad = x->elevation;
    if (x->in_degrees) {
        azimuth_rad = static_cast<float>(x->azimuth * DEGREE_FACTOR);
        elevation_rad = static_cast<float>(x->elevation * DEGREE_FACTOR);
    }
    ambi_weights(x->format.order, x->format.dimension, azimuth_rad, elevation_rad, x->weights);
    settings_changed(x->settings_version);
}

void* ambi_encode_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<AmbiEncoder*>(newobject(ambi_encode_class));
    if (!x)
        return nullptr;
    std::int32_t in_degrees = 0;
    x->format = read_creation_format(argc, argv, [&](const Atom& a) {
        if (a.a_type != A_SYM)
            return;
        Symbol* s = a.a_w.w_sym;
        if (s == gensym("degrees") || s == gensym("degree"))
            in_degrees = 1;
        else if (s == gensym("radians") || s == gensym("radian"))
            in_degrees = 0;
    });
    z_dsp_setup(&x->z, 1);

    x->azimuth = 0.0f;
    x->elevation = 0.0f;
    x->weights[0] = W_WEIGHT;
    x->in_degrees = in_degrees;
    ambi_weights(x->format.order, x->format.dimension, 0.0f, 0.0f, x->weights);
    // The record starts zeroed: the first vector takes its copy of the weights.
    settings_changed(x->settings_version);
    for (std::int32_t c = 0; c < x->format.channel_count; ++c)
        outlet_new(x, "signal");
    // The perform routine clears every outlet before it has read all of its input.
    x->z.z_misc = Z_NO_INPLACE;
    return x;
}

void ambi_encode_free(AmbiEncoder* x) {
    z_dsp_free(&x->z);
    free_perform_args(x->dsp_args);
}

void ambi_encode_dump(AmbiEncoder* x) {
    post("--- properties of ambi.encode~:");
    post("%ld-D %ldth order, outputs %ld channels", static_cast<long>(x->format.dimension),
         static_cast<long>(x->format.order), static_cast<long>(x->format.channel_count));
    post("\tazimuth %f \televation %f", static_cast<double>(x->azimuth),
         static_cast<double>(x->elevation));
}

// A unit switch converts the stored direction and leaves the weights: the direction is the same.
// An angle too large for single precision in degrees is held at the largest float, so a later
// direction message never computes weights from an infinity.
void ambi_encode_degrees(AmbiEncoder* x) {
    if (!x->in_degrees) {
        x->azimuth = to_atom_float(x->azimuth / DEGREE_FACTOR);
        x->elevation = to_atom_float(x->elevation / DEGREE_FACTOR);
    }
    x->in_degrees = 1;
}

void ambi_encode_radians(AmbiEncoder* x) {
    if (x->in_degrees) {
        x->azimuth = static_cast<float>(x->azimuth * DEGREE_FACTOR);
        x->elevation = static_cast<float>(x->elevation * DEGREE_FACTOR);
    }
    x->in_degrees = 0;
}

// Arguments: instance, vector length, entry count, the inlet vector, then the channel_count
// outlet vectors. The weights are copied, each read whole, only in a vector after a handler
// changed them.
template <KernelPath path> std::intptr_t* ambi_encode_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiEncoder*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const std::int32_t nc = x->format.channel_count;
    const float* in;
    float* out[MAX_CHANNELS];
    perform_vectors(w, 1, &in, nc, out);
    const std::uint32_t version = settings_version(x->settings_version);
    if (version != x->gains_version) {
        for (std::int32_t c = 0; c < nc; ++c)
            x->gains[c] = load_relaxed(x->weights[c]);
        x->gains_version = version;
    }
    kernels(path).encode_vector(nc, x->gains, in, out, n);
    return w + entries + 1;
}

constexpr auto ENCODER_PERFORM =
    perform_per_path([]<KernelPath path>() { return ambi_encode_perform<path>; });

void ambi_encode_dsp(AmbiEncoder* x, Signal** sp, short*) {
    add_perform(x, x->dsp_args, ENCODER_PERFORM[kernel_path()], sp, 1 + x->format.channel_count);
}

void ambi_encode_assist(AmbiEncoder* x, void*, long kind, long index, char* text) {
    if (kind == 1)
        sprintf(text, "input %ld to encode (signal)", index);
    else if (kind == 2 && index >= 0 && index < x->format.channel_count)
        sprintf(text, "encoded output, channel %c (signal)", x->format.letters[index]);
}

// Only a float sets an angle: an integer, a symbol or no argument leaves the direction as it is.
bool first_float(short argc, const Atom* argv, float& value) {
    if (argc < 1 || argv[0].a_type != A_FLOAT)
        return false;
    value = static_cast<float>(atom_to_double(argv[0]));
    return true;
}

void ambi_encode_azimuth(AmbiEncoder* x, Symbol*, short argc, Atom* argv) {
    if (!first_float(argc, argv, x->azimuth))
        return;
    ambi_encode_update_weights(x);
}

void ambi_encode_elevation(AmbiEncoder* x, Symbol*, short argc, Atom* argv) {
    if (!first_float(argc, argv, x->elevation))
        return;
    ambi_encode_update_weights(x);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&ambi_encode_class, ambi_encode_new, ambi_encode_free, sizeof(AmbiEncoder), 0, A_GIMME,
          0);
    addmess(ambi_encode_dump, "dump", 0);
    addmess(ambi_encode_degrees, "degrees", 0);
    addmess(ambi_encode_radians, "radians", 0);
    addmess(ambi_encode_dsp, "dsp", A_CANT, 0);
    addmess(ambi_encode_assist, "assist", A_CANT, 0);
    addmess(ambi_encode_azimuth, "azimuth", A_GIMME, 0);
    addmess(ambi_encode_elevation, "elevation", A_GIMME, 0);
    z_add_signalmethod();
    return 1;
}
