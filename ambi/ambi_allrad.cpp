// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.allrad~: renders an ambisonic field to the speakers of a real room (5.0, 7.1.4, a
// dome) with an all-round decoder. Inlets and outlets as the sampling decoder's; every change of
// the layout designs a new matrix on the message side, which the perform routine takes whole.
#include "allrad.hpp"
#include "flavours.hpp"
#include "handover.hpp"
#include "kernels.hpp"
#include "plugin_glue.hpp"
#include "weights.hpp"
#include <tovo/angles.hpp>
#include <tovo/api.hpp>
#include <tovo/relaxed.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

struct AmbiAllrad {
    SignalObject z;
    AmbiFormat format;
    std::int32_t outlet_count;     // speakers at creation, 1 to 32, one outlet each
    std::int32_t speaker_count;    // speakers of the layout, 1 to outlet_count; the rest are silent
    float azimuth[MAX_SPEAKERS];   // radians
    float elevation[MAX_SPEAKERS]; // radians
    float gain;
    float order_weights[ORDER_WEIGHT_COUNT]; // of orders 0 to 3
    // The current design, as "dump" reports it.
    std::int32_t problem; // a LayoutProblem; the sampling matrix plays when it is not good
    std::int32_t problem_first, problem_second;
    std::int32_t imaginary_count;
    float imaginary_azimuth[MAX_IMAGINARY];   // radians
    float imaginary_elevation[MAX_IMAGINARY]; // radians
    std::int32_t virtual_count, face_count;
    float design[MAX_SPEAKERS][MAX_CHANNELS]; // speaker by channel, before the gain
    // The gain times the design: the one the perform routine reads and the spare (handover.hpp).
    float matrices[2][MAX_SPEAKERS][MAX_CHANNELS];
    std::int32_t handover;
    void** dsp_args; // perform arguments of the last "dsp"; released at the next one
};
static_assert(std::is_standard_layout_v<AmbiAllrad> &&
              std::is_trivially_default_constructible_v<AmbiAllrad>);

Class* ambi_allrad_class;

// max-rE is the default; basic weighs every order alike (the sampling decoder's "none").
constexpr FlavourWord FLAVOUR_WORDS[] = {
    {"max-rE", FLAVOUR_MAX_RE}, {"Max-rE", FLAVOUR_MAX_RE}, {"max-re", FLAVOUR_MAX_RE},
    {"Max-re", FLAVOUR_MAX_RE}, {"basic", FLAVOUR_NONE},    {"Basic", FLAVOUR_NONE},
};

// The matrix the perform routine should play: gain times the design, handed over whole.
void allrad_hand_over(AmbiAllrad* x) {
    const std::int32_t spare = handover_claim(x->handover);
    const double gain = x->gain;
    for (std::int32_t k = 0; k < MAX_SPEAKERS; ++k)
        for (std::int32_t c = 0; c < MAX_CHANNELS; ++c)
            x->matrices[spare][k][c] = static_cast<float>(gain * x->design[k][c]);
    handover_publish(x->handover);
}

// Designs the matrix for the current layout and hands it over.
void allrad_redesign(AmbiAllrad* x) {
    AllradDesign d;
    allrad_design(x->format, x->order_weights, x->speaker_count, x->azimuth, x->elevation, d);
    x->problem = d.problem;
    x->problem_first = d.first;
    x->problem_second = d.second;
    x->imaginary_count = d.imaginary_count;
    for (std::int32_t i = 0; i < d.imaginary_count; ++i) {
        x->imaginary_azimuth[i] = static_cast<float>(azimuth_of(d.imaginary[i]));
        x->imaginary_elevation[i] = static_cast<float>(elevation_of(d.imaginary[i]));
    }
    x->virtual_count = d.virtual_count;
    x->face_count = d.face_count;
    for (std::int32_t k = 0; k < MAX_SPEAKERS; ++k)
        for (std::int32_t c = 0; c < MAX_CHANNELS; ++c)
            x->design[k][c] = static_cast<float>(d.matrix[k][c]);
    allrad_hand_over(x);
}

// What is wrong with the layout, in a few words; null when nothing is.
const char* allrad_problem_text(const AmbiAllrad* x, char* text, std::size_t size) {
    switch (x->problem) {
    case LAYOUT_TOO_FEW:
        std::snprintf(text, size, "%ld speakers in 3-D, at least 3 are needed",
                      static_cast<long>(x->speaker_count));
        return text;
    case LAYOUT_SAME_DIRECTION:
        std::snprintf(text, size, "speakers %ld and %ld stand in the same direction",
                      static_cast<long>(x->problem_first), static_cast<long>(x->problem_second));
        return text;
    case LAYOUT_ONE_PLANE:
        return "all speakers stand in one plane through the listener";
    case LAYOUT_LISTENER_OUTSIDE:
        return "the speakers leave the listener outside their hull";
    default:
        return nullptr;
    }
}

void allrad_report(const AmbiAllrad* x) {
    char text[128];
    if (const char* what = allrad_problem_text(x, text, sizeof text))
        post("error: ambi.allrad~: %s; playing the sampling decoder's matrix", what);
}

void* ambi_allrad_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<AmbiAllrad*>(newobject(ambi_allrad_class));
    if (!x)
        return nullptr;
    std::int32_t flavour = FLAVOUR_MAX_RE;
    std::int32_t speakers = 2;
    // Floats and unknown words are ignored; where words disagree, the last one counts.
    x->format = read_creation_format(argc, argv, [&](const Atom& a) {
        if (a.a_type == A_LONG) {
            speakers = atom_to_long(a);
        } else if (a.a_type == A_SYM) {
            read_flavour_word(FLAVOUR_WORDS, a.a_w.w_sym->s_name, flavour);
        }
    });
    float channel_weights[MAX_CHANNELS];
    decoder_apply_flavour(x->format, flavour, x->order_weights, channel_weights);

    x->outlet_count = speakers < 1 ? 1 : speakers > MAX_SPEAKERS ? MAX_SPEAKERS : speakers;
    x->speaker_count = x->outlet_count;
    x->gain = 1.0f;
    z_dsp_setup(&x->z, static_cast<short>(x->format.channel_count));
    // The sampling decoder's default ring, a signal outlet for each speaker.
    default_speaker_ring(x->outlet_count, x->azimuth, x->elevation);
    for (std::int32_t k = 0; k < x->outlet_count; ++k)
        outlet_new(x, "signal");
    x->z.z_misc = Z_NO_INPLACE;
    // The default ring is flat, which a 3-D decoder cannot pan over: it plays the sampling
    // matrix until its speakers are placed, and says so in "dump" rather than as an error.
    allrad_redesign(x);
    return x;
}

void ambi_allrad_free(AmbiAllrad* x) {
    z_dsp_free(&x->z);
    free_perform_args(x->dsp_args);
}

// An imaginary speaker's angle in degrees for "dump": one placed at 0 by arithmetic may land a
// rounding below it, which should not read -0.000000.
double shown(double degrees) {
    return std::fabs(degrees) < 5e-7 ? 0.0 : degrees;
}

void ambi_allrad_dump(AmbiAllrad* x) {
    const AmbiFormat& f = x->format;
    post("--- properties of ambi.allrad~:");
    post("%ld-D %ldth order, from %ld channels to %ld speakers", static_cast<long>(f.dimension),
         static_cast<long>(f.order), static_cast<long>(f.channel_count),
         static_cast<long>(x->speaker_count));
    post("gain: %f", static_cast<double>(x->gain));
    post_speakers(x->speaker_count, x->azimuth, x->elevation);
    if (x->speaker_count < x->outlet_count)
        post("silent outlets: %ld to %ld", static_cast<long>(x->speaker_count),
             static_cast<long>(x->outlet_count - 1));
    post_order_weights(x->order_weights);
    post("imaginary speakers: %ld", static_cast<long>(x->imaginary_count));
    for (std::int32_t i = 0; i < x->imaginary_count; ++i)
        post("imaginary\t\t%f\t\t%f", shown(x->imaginary_azimuth[i] * DECODER_RADIAN_FACTOR),
             shown(x->imaginary_elevation[i] * DECODER_RADIAN_FACTOR));
    char text[128];
    if (const char* what = allrad_problem_text(x, text, sizeof text))
        post("design: the sampling decoder's matrix (%s)", what);
    else
        post("design: %ld virtual speakers panned over %ld %s", static_cast<long>(x->virtual_count),
             static_cast<long>(x->face_count), f.dimension == 3 ? "triangles" : "pairs");
    // A row is "speaker 31:" and 16 entries of at most 16 characters (" -1.23456789e+18").
    char line[64 + MAX_CHANNELS * 18];
    int used = std::snprintf(line, sizeof line, "matrix (speaker by channel):");
    for (std::int32_t c = 0; c < f.channel_count; ++c)
        used += std::snprintf(line + used, sizeof line - used, " %c", f.letters[c]);
    post("%s", line);
    // The matrix as handed over: the gain times the design, each entry rounded once.
    for (std::int32_t k = 0; k < x->speaker_count; ++k) {
        used = std::snprintf(line, sizeof line, "speaker %ld:", static_cast<long>(k));
        for (std::int32_t c = 0; c < f.channel_count; ++c)
            used += std::snprintf(
                line + used, sizeof line - used, " %.9g",
                static_cast<double>(static_cast<float>(double{x->gain} * x->design[k][c])));
        post("%s", line);
    }
}

// A direction is stored as single precision, as the sampling decoder stores it.
bool allrad_finite(double azimuth_rad, double elevation_rad) {
    return std::isfinite(static_cast<float>(azimuth_rad)) &&
           std::isfinite(static_cast<float>(elevation_rad));
}

void allrad_set_speaker(AmbiAllrad* x, std::int32_t index, double azimuth_rad,
                        double elevation_rad) {
    if (!speaker_exists(index, x->speaker_count))
        return;
    if (!allrad_finite(azimuth_rad, elevation_rad)) {
        post("error: ambi.allrad~: speaker %ld: the direction is not a finite number",
             static_cast<long>(index));
        return;
    }
    const std::int32_t before = x->problem;
    const std::int32_t first = x->problem_first, second = x->problem_second;
    x->azimuth[index] = static_cast<float>(azimuth_rad);
    x->elevation[index] = static_cast<float>(elevation_rad);
    allrad_redesign(x);
    // Speakers are moved one at a time, through layouts that may be bad for a moment (a 3-D
    // decoder starts flat): a problem is reported when it appears, not again at each move.
    if (x->problem != before || x->problem_first != first || x->problem_second != second)
        allrad_report(x);
}

void ambi_allrad_speaker_radians(AmbiAllrad* x, std::int32_t index, double azimuth_rad,
                                 double elevation_rad) {
    allrad_set_speaker(x, index, azimuth_rad, elevation_rad);
}

void ambi_allrad_speaker(AmbiAllrad* x, std::int32_t index, double azimuth_deg,
                         double elevation_deg) {
    allrad_set_speaker(x, index, azimuth_deg * DEGREE_FACTOR, elevation_deg * DEGREE_FACTOR);
}

// layout AZ0 EL0 AZ1 EL1 ... (degrees): the whole layout at once, its problems always reported.
void ambi_allrad_layout(AmbiAllrad* x, Symbol*, short argc, Atom* argv) {
    if (argc < 2 || argc % 2 != 0) {
        post("error: ambi.allrad~: layout takes an azimuth and an elevation for each speaker");
        return;
    }
    const std::int32_t count = argc / 2;
    if (count > x->outlet_count) {
        post("error: ambi.allrad~: layout of %ld speakers for %ld outlets",
             static_cast<long>(count), static_cast<long>(x->outlet_count));
        return;
    }
    for (std::int32_t k = 0; k < count; ++k)
        if (!allrad_finite(atom_to_double(argv[2 * k]) * DEGREE_FACTOR,
                           atom_to_double(argv[2 * k + 1]) * DEGREE_FACTOR)) {
            post("error: ambi.allrad~: speaker %ld: the direction is not a finite number",
                 static_cast<long>(k));
            return;
        }
    for (std::int32_t k = 0; k < count; ++k) {
        x->azimuth[k] = static_cast<float>(atom_to_double(argv[2 * k]) * DEGREE_FACTOR);
        x->elevation[k] = static_cast<float>(atom_to_double(argv[2 * k + 1]) * DEGREE_FACTOR);
    }
    x->speaker_count = count;
    allrad_redesign(x);
    allrad_report(x);
}

void ambi_allrad_gain(AmbiAllrad* x, double value) {
    x->gain = held_setting(value);
    allrad_hand_over(x);
}

// Arguments: instance, vector length, entry count, the channel_count inlet vectors, then the
// outlet_count outlet vectors.
template <KernelPath path> std::intptr_t* allrad_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiAllrad*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const std::int32_t nc = x->format.channel_count;
    const std::int32_t ns = x->outlet_count;
    const float* in[MAX_CHANNELS];
    float* out[MAX_SPEAKERS];
    perform_vectors(w, nc, in, ns, out);
    const std::int32_t live = handover_take(x->handover);
    kernels(path).decode_matrix(nc, ns, x->matrices[live], in, out, n);
    return w + entries + 1;
}

constexpr auto ALLRAD_PERFORM =
    perform_per_path([]<KernelPath path>() { return allrad_perform<path>; });

void ambi_allrad_dsp(AmbiAllrad* x, Signal** sp, short*) {
    add_perform(x, x->dsp_args, ALLRAD_PERFORM[kernel_path()], sp,
                x->format.channel_count + x->outlet_count);
}

void ambi_allrad_assist(AmbiAllrad* x, void*, long kind, long index, char* text) {
    if (decoder_assist(x->format, x->speaker_count, x->azimuth, x->elevation, kind, index, text))
        return;
    if (kind == 2 && index >= 0 && index < x->outlet_count)
        sprintf(text, "speaker %ld, not in the layout: silent (signal)", index);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&ambi_allrad_class, ambi_allrad_new, ambi_allrad_free, sizeof(AmbiAllrad), 0, A_GIMME, 0);
    addmess(ambi_allrad_dump, "dump", 0);
    addmess(ambi_allrad_speaker_radians, "speaker_radians", A_LONG, A_FLOAT, A_FLOAT, 0);
    addmess(ambi_allrad_speaker, "speaker", A_LONG, A_FLOAT, A_FLOAT, 0);
    addmess(ambi_allrad_layout, "layout", A_GIMME, 0);
    addmess(ambi_allrad_gain, "gain", A_FLOAT, 0);
    addmess(ambi_allrad_dsp, "dsp", A_CANT, 0);
    addmess(ambi_allrad_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 1;
}
