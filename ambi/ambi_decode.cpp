// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.decode~: renders an ambisonic field to up to 32 speakers with a sampling decoder.
// One signal inlet per channel (W leftmost) and one signal outlet per speaker (speaker 0
// leftmost); speaker directions, gain, width and the per-order flavour weights change by message.
#include "flavours.hpp"
#include "kernels.hpp"
#include "weights.hpp"
#include <tovo/angles.hpp>
#include <tovo/api.hpp>
#include <tovo/relaxed.hpp>

#include <cstdint>
#include <iterator>
#include <string_view>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

// Gain and order weights are held within this size either way. The decoding law multiplies the
// two, and a product beyond single precision would make an infinite coefficient, which turns
// even silence into NaN; within the limit every coefficient stays below about 1e36.
constexpr double SETTING_LIMIT = 1e18;

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
struct FlavourWord {
    const char* word;
    std::int32_t flavour;
};
constexpr FlavourWord FLAVOUR_WORDS[] = {
    {"none", FLAVOUR_NONE},       {"None", FLAVOUR_NONE},         {"default", FLAVOUR_DEFAULT},
    {"Default", FLAVOUR_DEFAULT}, {"in-phase", FLAVOUR_IN_PHASE}, {"In-phase", FLAVOUR_IN_PHASE},
    {"max-rE", FLAVOUR_MAX_RE},   {"Max-rE", FLAVOUR_MAX_RE},     {"max-re", FLAVOUR_MAX_RE},
    {"Max-re", FLAVOUR_MAX_RE},
};

float limited(double value) {
    return static_cast<float>(value > SETTING_LIMIT    ? SETTING_LIMIT
                              : value < -SETTING_LIMIT ? -SETTING_LIMIT
                                                       : value);
}

void decoder_apply_flavour(AmbiDecoder* x, std::int32_t flavour) {
    decoder_apply_flavour(x->format, flavour, x->order_weights, x->channel_weights);
    settings_changed(x->settings_version);
}

void decoder_update_row(AmbiDecoder* x, std::int32_t k) {
    ambi_weights(x->format.order, x->format.dimension, x->azimuth[k], x->elevation[k],
                 x->decode_rows[k]);
}

void decoder_apply_settings(AmbiDecoder* x, std::int32_t dimension, std::int32_t order,
                            std::int32_t flavour) {
    x->format.dimension = dimension;
    ambi_format_update(x->format);
    x->format.order = order;
    ambi_format_update(x->format);
    decoder_apply_flavour(x, flavour);
}

void* ambi_decode_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<AmbiDecoder*>(newobject(ambi_decode_class));
    if (!x)
        return nullptr;
    std::int32_t dimension = 2;
    std::int32_t order = 1;
    std::int32_t flavour = FLAVOUR_DEFAULT;
    std::int32_t speakers = 2;
    decoder_apply_settings(x, dimension, order, flavour);

    int run = 0; // position in the current run of float weights
    for (short i = 0; i < argc; ++i) {
        const Atom& a = argv[i];
        if (a.a_type == A_FLOAT) {
            // Each float sets the next order; a fifth in a row starts again at order 0.
            x->order_weights[run] = limited(atom_to_double(a));
            run = (run + 1) % ORDER_WEIGHT_COUNT;
            continue;
        }
        run = 0;
        if (a.a_type == A_LONG) {
            speakers = atom_to_long(a);
        } else if (a.a_type == A_SYM) {
            const std::string_view word = a.a_w.w_sym->s_name;
            if (const FormatKeyword* k = find_format_keyword(word)) {
                if (k->dimension)
                    dimension = k->dimension;
                if (k->order)
                    order = k->order;
            }
            for (const FlavourWord& f : FLAVOUR_WORDS)
                if (word == f.word)
                    flavour = f.flavour;
            // Any word, known or not, applies the settings: it replaces earlier float weights.
            decoder_apply_settings(x, dimension, order, flavour);
        }
    }
    // Floats after the last word still reach the channels.
    decoder_update_channel_weights(x->format, x->order_weights, x->channel_weights);

    x->speaker_count = speakers < 1 ? 1 : speakers > MAX_SPEAKERS ? MAX_SPEAKERS : speakers;
    x->gain = 1.0f;
    x->width = 0.5f;
    z_dsp_setup(&x->z, static_cast<short>(x->format.channel_count));
    const std::int32_t ns = x->speaker_count;
    // Outlets from the last speaker to the first, so that speaker 0 stands leftmost. The default
    // ring starts half a spacing below azimuth 0 and is not wrapped.
    for (std::int32_t k = ns - 1; k >= 0; --k) {
        outlet_new(x, "signal");
        x->azimuth[k] = static_cast<float>((k - 0.5) * 2.0 * DECODER_PI / ns);
        x->elevation[k] = 0.0f;
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
    sysmem_freeptr(x->dsp_args);
    x->dsp_args = nullptr;
}

void ambi_decode_dump(AmbiDecoder* x, Symbol*, short argc, Atom*) {
    const AmbiFormat& f = x->format;
    post("--- properties of ambi.decode~:");
    post("%ld-D %ldth order, from %ld channels to %ld speakers", static_cast<long>(f.dimension),
         static_cast<long>(f.order), static_cast<long>(f.channel_count),
         static_cast<long>(x->speaker_count));
    post("gain: %f, width: %f", static_cast<double>(x->gain), static_cast<double>(x->width));
    post("speaker\t\tazimuth\t\televation (degrees):");
    for (std::int32_t k = 0; k < x->speaker_count; ++k)
        post("%ld\t\t\t%f\t\t%f", static_cast<long>(k), x->azimuth[k] * DECODER_RADIAN_FACTOR,
             x->elevation[k] * DECODER_RADIAN_FACTOR);
    post("flavour weights per order: 0=%f, 1=%f, 2=%f, 3=%f",
         static_cast<double>(x->order_weights[0]), static_cast<double>(x->order_weights[1]),
         static_cast<double>(x->order_weights[2]), static_cast<double>(x->order_weights[3]));
    if (argc < 1)
        return;
    post("channel: \t weight:");
    for (std::int32_t c = 0; c < f.channel_count; ++c)
        post("%c \t %f", f.letters[c], static_cast<double>(x->channel_weights[c]));
}

void decoder_set_speaker(AmbiDecoder* x, std::int32_t index, double azimuth_rad,
                         double elevation_rad) {
    if (index < 0 || index >= x->speaker_count) {
        post("error: invalid speaker number: %ld", static_cast<long>(index));
        return;
    }
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
    store_relaxed(x->gain, limited(value));
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
            x->order_weights[m] = limited(atom_to_double(argv[m]));
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
// speaker_count outlet vectors. One routine per kernel path, so nothing is chosen per vector.
// The matrix is formed again only in a vector after a handler changed a setting.
template <KernelPath path> std::intptr_t* decoder_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiDecoder*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const std::int32_t nc = x->format.channel_count;
    const std::int32_t ns = x->speaker_count;
    const float* in[MAX_CHANNELS];
    float* out[MAX_SPEAKERS];
    for (std::int32_t c = 0; c < nc; ++c)
        in[c] = reinterpret_cast<const float*>(w[4 + c]);
    for (std::int32_t k = 0; k < ns; ++k)
        out[k] = reinterpret_cast<float*>(w[4 + nc + k]);
    const KernelTable& kernel = kernels(path);
    const std::uint32_t version = settings_version(x->settings_version);
    if (version != x->matrix_version)
        decoder_form_matrix(x, kernel, version);
    kernel.decode_matrix(nc, ns, x->matrix, in, out, n);
    return w + entries + 1;
}

// One routine per path, in the order of KernelPath.
constexpr PerformRoutine DECODER_PERFORM[] = {
    decoder_perform<KERNEL_BASELINE>, decoder_perform<KERNEL_AVX2>, decoder_perform<KERNEL_AVX512>,
    decoder_perform<KERNEL_PORTABLE>, decoder_perform<KERNEL_NEON>};
static_assert(std::size(DECODER_PERFORM) == KERNEL_PATH_COUNT);

void ambi_decode_dsp(AmbiDecoder* x, Signal** sp, short*) {
    const std::int32_t nc = x->format.channel_count;
    const std::int32_t ns = x->speaker_count;
    const long entries = nc + ns + 3;
    auto** args = static_cast<void**>(sysmem_newptr(entries * static_cast<long>(sizeof(void*))));
    if (!args)
        return;
    args[0] = x;
    args[1] = reinterpret_cast<void*>(sp[0]->s_n);
    args[2] = reinterpret_cast<void*>(entries);
    for (std::int32_t i = 0; i < nc + ns; ++i)
        args[3 + i] = sp[i]->s_vec;
    dsp_addv(DECODER_PERFORM[kernel_path()], entries, args);
    // The host keeps its own copy of the words: the previous array has no reader left.
    sysmem_freeptr(x->dsp_args);
    x->dsp_args = args;
}

void ambi_decode_assist(AmbiDecoder* x, void*, long kind, long index, char* text) {
    if (kind == 1 && index >= 0 && index < x->format.channel_count)
        sprintf(text, "encoded output, channel %c (signal)", x->format.letters[index]);
    else if (kind == 2 && index >= 0 && index < x->speaker_count)
        sprintf(text, "speaker %ld at %f, %f (signal)", index,
                x->azimuth[index] * DECODER_RADIAN_FACTOR,
                x->elevation[index] * DECODER_RADIAN_FACTOR);
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
