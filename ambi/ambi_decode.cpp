// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.decode~: renders an ambisonic field to up to 32 speakers with a sampling decoder.
// One signal inlet per channel (W leftmost) and one signal outlet per speaker (speaker 0
// leftmost); speaker directions, gain, width and the per-order flavour weights change by message.
#include "flavours.hpp"
#include "kernels.hpp"
#include "plugin_glue.hpp"
#include "weights.hpp"
#include <tovo/angles.hpp>
#include <tovo/api.hpp>
#include <tovo/relaxed.hpp>

#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

struct AmbiDecoder {
    SignalObject z;
    AmbiFormat format;
    std::int32_t speaker_count;    // 1 to 32, one outlet each
    float azimuth[MAX_SPEAKERS];   // radians
    float elevation[MAX_SPEAKERS]; // radians
    float gain;
    float width; // 0: W term only; 1: directional terms only
    // Row k: harmonic of channel c at speaker k's direction, entry [k][c] for c >= 1.
    float decode_rows[MAX_SPEAKERS][MAX_CHANNELS];
    float order_weights[ORDER_WEIGHT_COUNT]; // flavour weight of orders 0 to 3
    float channel_weights[MAX_CHANNELS];     // order_weights by the order of each channel
    void** dsp_args; // perform arguments of the last "dsp"; released at the next one
    // Counts the handlers' changes to gain, width, rows and weights (tovo/relaxed.hpp).
    std::uint32_t settings_version;
    // The perform routine's own: the decoding matrix, formed from the settings at
    // matrix_version, with the W coefficient in each row's entry 0.
    std::uint32_t matrix_version;
    float matrix[MAX_SPEAKERS][MAX_CHANNELS];
};
static_assert(std::is_standard_layout_v<AmbiDecoder> &&
              std::is_trivially_default_constructible_v<AmbiDecoder>);

Class* ambi_decode_class;

// Creation words beyond the format keywords: the flavours, with capitalised forms.
constexpr FlavourWord FLAVOUR_WORDS[] = {
    {"none", FLAVOUR_NONE},       {"None", FLAVOUR_NONE},         {"default", FLAVOUR_DEFAULT},
    {"Default", FLAVOUR_DEFAULT}, {"in-phase", FLAVOUR_IN_PHASE}, {"In-phase", FLAVOUR_IN_PHASE},
    {"max-rE", FLAVOUR_MAX_RE},   {"Max-rE", FLAVOUR_MAX_RE},     {"max-re", FLAVOUR_MAX_RE},
    {"Max-re", FLAVOUR_MAX_RE},
};

void decoder_apply_flavour(AmbiDecoder* x, std::int32_t flavour) {
    decoder_apply_flavour(x->format, flavour, x->order_weights, x->channel_weights);
    settings_changed(x->settings_version);
}

void decoder_update_row(AmbiDecoder* x, std::int32_t k) {
    ambi_weights(x->format.order, x->format.dimension, x->azimuth[k], x->elevation[k],
                 x->decode_rows[k]);
}

void decoder_apply_settings(AmbiDecoder* x, const FormatWords& named, std::int32_t flavour) {
    x->format = ambi_format(named.dimension, named.order);
    decoder_apply_flavour(x, flavour);
}

void* ambi_decode_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<AmbiDecoder*>(newobject(ambi_decode_class));
    if (!x)
        return nullptr;
    FormatWords named;
    std::int32_t flavour = FLAVOUR_DEFAULT;
    std::int32_t speakers = 2;
    decoder_apply_settings(x, named, flavour);

    int run = 0; // position in the current run of float weights
    for (short i = 0; i < argc; ++i) {
        const Atom& a = argv[i];
        if (a.a_type == A_FLOAT) {
            // Each float sets the next order; a fifth in a row starts again at order 0.
            x->order_weights[run] = held_setting(atom_to_double(a));
            run = (run + 1) % ORDER_WEIGHT_COUNT;
            continue;
        }
        run = 0;
        if (a.a_type == A_LONG) {
            speakers = atom_to_long(a);
        } else if (a.a_type == A_SYM) {
            const std::string_view word = a.a_w.w_sym->s_name;
            if (!read_format_word(word, named))
                read_flavour_word(FLAVOUR_WORDS, word, flavour);
            // Any word, known or not, applies the settings: it replaces earlier float weights.
            decoder_apply_settings(x, named, flavour);
        }
    }
    // Floats after the last word still reach the channels.
    decoder_update_channel_weights(x->format, x->order_weights, x->channel_weights);

    x->speaker_count = speakers < 1 ? 1 : speakers > MAX_SPEAKERS ? MAX_SPEAKERS : speakers;
    x->gain = 1.0f;
    x->width = 0.5f;
    z_dsp_setup(&x->z, static_cast<short>(x->format.channel_count));
    const std::int32_t ns = x->speaker_count;
    default_speaker_ring(ns, x->azimuth, x->elevation);
    // Outlets from the last speaker to the first, so that speaker 0 stands leftmost.
    for (std::int32_t k = ns - 1; k >= 0; --k) {
        outlet_new(x, "signal");
        decoder_update_row(x, k);
    }
    // Every outlet is written before all inlets are read.
    x->z.z_misc = Z_NO_INPLACE;
    // The record starts zeroed: the first vector forms the matrix.
    settings_changed(x->settings_version);
    if (ns < x->format.channel_count)
        post("WARNING [ambi.decode~]: at least %ld speakers are recommended for this order",
             static_cast<long>(x->format.channel_count));
    return x;
}

void ambi_decode_free(AmbiDecoder* x) {
    z_dsp_free(&x->z);
    free_perform_args(x->dsp_args);
}

void ambi_decode_dump(AmbiDecoder* x, Symbol*, short argc, Atom*) {
    const AmbiFormat& f = x->format;
    post("--- properties of ambi.decode~:");
    post("%ld-D %ldth order, from %ld channels to %ld speakers", static_cast<long>(f.dimension),
         static_cast<long>(f.order), static_cast<long>(f.channel_count),
         static_cast<long>(x->speaker_count));
    post("gain: %f, width: %f", static_cast<double>(x->gain), static_cast<double>(x->width));
    post_speakers(x->speaker_count, x->azimuth, x->elevation);
    post_order_weights(x->order_weights);
    if (argc < 1)
        return;
    post("channel: \t weight:");
    for (std::int32_t c = 0; c < f.channel_count; ++c)
        post("%c \t %f", f.letters[c], static_cast<double>(x->channel_weights[c]));
}

void decoder_set_speaker(AmbiDecoder* x, std::int32_t index, double azimuth_rad,
                         double elevation_rad) {
    if (!speaker_exists(index, x->speaker_count))
        return;
    x->azimuth[index] = static_cast<float>(azimuth_rad);
    x->elevation[index] = static_cast<float>(elevation_rad);
    decoder_update_row(x, index);
    settings_changed(x->settings_version);
}

void ambi_decode_speaker_radians(AmbiDecoder* x, std::int32_t index, double azimuth_rad,
                                 double elevation_rad) {
    decoder_set_speaker(x, index, azimuth_rad, elevation_rad);
}

void ambi_decode_speaker(AmbiDecoder* x, std::int32_t index, double azimuth_deg,
                         double elevation_deg) {
    decoder_set_speaker(x, index, azimuth_deg * DEGREE_FACTOR, elevation_deg * DEGREE_FACTOR);
}

void ambi_decode_gain(AmbiDecoder* x, double value) {
    store_relaxed(x->gain, held_setting(value));
    settings_changed(x->settings_version);
}

void ambi_decode_width(AmbiDecoder* x, double value) {
    const double clipped = value > 1.0 ? 1.0 : value < 0.0 ? 0.0 : value;
    store_relaxed(x->width, static_cast<float>(clipped));
    settings_changed(x->settings_version);
}

// Sets the orders by position; an argument that is not a float leaves its order's weight.
void ambi_decode_weights(AmbiDecoder* x, Symbol*, short argc, Atom* argv) {
    for (short m = 0; m < argc && m < ORDER_WEIGHT_COUNT; ++m)
        if (argv[m].a_type == A_FLOAT)
            x->order_weights[m] = held_setting(atom_to_double(argv[m]));
    decoder_update_channel_weights(x->format, x->order_weights, x->channel_weights);
    settings_changed(x->settings_version);
}

void ambi_decode_none(AmbiDecoder* x) {
    decoder_apply_flavour(x, FLAVOUR_NONE);
}

void ambi_decode_default(AmbiDecoder* x) {
    decoder_apply_flavour(x, FLAVOUR_DEFAULT);
}

void ambi_decode_in_phase(AmbiDecoder* x) {
    decoder_apply_flavour(x, FLAVOUR_IN_PHASE);
}

void ambi_decode_max_re(AmbiDecoder* x) {
    decoder_apply_flavour(x, FLAVOUR_MAX_RE);
}

// The decoding matrix from the settings as they stand, read whole once each. A handler that
// writes meanwhile has bumped the counter past `version`, so the next vector forms it again.
void decoder_form_matrix(AmbiDecoder* x, const KernelTable& kernel, std::uint32_t version) {
    const std::int32_t ns = x->speaker_count;
    float w_coefficient = 0.0f;
    kernel.decode_coefficients(x->format.channel_count, ns, load_relaxed(x->gain),
                               load_relaxed(x->width), x->decode_rows, x->channel_weights,
                               &w_coefficient, x->matrix);
    for (std::int32_t k = 0; k < ns; ++k)
        x->matrix[k][0] = w_coefficient;
    x->matrix_version = version;
}

// Arguments: instance, vector length, entry count, the channel_count inlet vectors, then the
// speaker_count outlet vectors. The matrix is formed again only in a vector after a handler
// changed a setting.
template <KernelPath path> std::intptr_t* decoder_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiDecoder*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const std::int32_t nc = x->format.channel_count;
    const std::int32_t ns = x->speaker_count;
    const float* in[MAX_CHANNELS];
    float* out[MAX_SPEAKERS];
    perform_vectors(w, nc, in, ns, out);
    const KernelTable& kernel = kernels(path);
    const std::uint32_t version = settings_version(x->settings_version);
    if (version != x->matrix_version)
        decoder_form_matrix(x, kernel, version);
    kernel.decode_matrix(nc, ns, x->matrix, in, out, n);
    return w + entries + 1;
}

constexpr auto DECODER_PERFORM =
    perform_per_path([]<KernelPath path>() { return decoder_perform<path>; });

void ambi_decode_dsp(AmbiDecoder* x, Signal** sp, short*) {
    add_perform(x, x->dsp_args, DECODER_PERFORM[kernel_path()], sp,
                x->format.channel_count + x->speaker_count);
}

void ambi_decode_assist(AmbiDecoder* x, void*, long kind, long index, char* text) {
    decoder_assist(x->format, x->speaker_count, x->azimuth, x->elevation, kind, index, text);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&ambi_decode_class, ambi_decode_new, ambi_decode_free, sizeof(AmbiDecoder), 0, A_GIMME,
          0);
    addmess(ambi_decode_dump, "dump", A_GIMME, 0);
    addmess(ambi_decode_speaker_radians, "speaker_radians", A_LONG, A_FLOAT, A_FLOAT, 0);
    addmess(ambi_decode_speaker, "speaker", A_LONG, A_FLOAT, A_FLOAT, 0);
    addmess(ambi_decode_gain, "gain", A_FLOAT, 0);
    addmess(ambi_decode_width, "width", A_FLOAT, 0);
    addmess(ambi_decode_weights, "weights", A_GIMME, 0);
    addmess(ambi_decode_none, "none", 0);
    addmess(ambi_decode_default, "default", 0);
    addmess(ambi_decode_in_phase, "in-phase", 0);
    addmess(ambi_decode_in_phase, "inphase", 0);
    addmess(ambi_decode_max_re, "max-re", 0);
    addmess(ambi_decode_max_re, "max-rE", 0);
    addmess(ambi_decode_dsp, "dsp", A_CANT, 0);
    addmess(ambi_decode_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 1;
}
