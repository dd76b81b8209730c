// SPDX-License-Identifier: GPL-3.0-or-later
// What the ambisonic plug-ins share on the host's side: reading the format from the creation
// words, the perform routine's arguments and its table of kernel paths, the hold on settings,
// and the two decoders' speaker ring, reports and assist texts. Plain inline functions, for
// plug-ins only: the maths library below them never calls the host.
#pragma once

#include "kernels.hpp"
#include "weights.hpp"
#include <tovo/angles.hpp>
#include <tovo/api.hpp>

#include <array>
#include <cstdint>
#include <utility>

namespace tovo::ambi {

// --- Creation words --------------------------------------------------------------------------

// The format the creation arguments name (2-D first order unless a keyword says otherwise; the
// last keyword of each kind counts). Every other atom, numbers included, goes to own(atom) in
// order, for the object's own words.
template <class Own>
AmbiFormat read_creation_format(short argc, const host::Atom* argv, Own&& own) {
    FormatWords named;
    for (short i = 0; i < argc; ++i)
        if (argv[i].a_type != host::A_SYM || !read_format_word(argv[i].a_w.w_sym->s_name, named))
            own(argv[i]);
    return ambi_format(named.dimension, named.order);
}

// --- Settings --------------------------------------------------------------------------------

// Gains and order weights are held within this size either way. A decoding law multiplies two
// of them, and a product beyond single precision would make an infinite coefficient, which turns
// even silence into NaN; within the limit every coefficient stays below about 1e36.
inline constexpr double SETTING_LIMIT = 1e18;

// A setting held within SETTING_LIMIT, in single precision; NaN stays NaN.
inline float held_setting(double value) {
    return static_cast<float>(value > SETTING_LIMIT    ? SETTING_LIMIT
                              : value < -SETTING_LIMIT ? -SETTING_LIMIT
                                                       : value);
}

// --- The perform routine ---------------------------------------------------------------------

// Adds `perform` to the signal chain with the words every ambisonic perform routine reads: the
// instance, the vector length, the entry count, then the object's first `signals` signal vectors
// (its inlets', then its outlets'). `dsp_args` keeps the array of the last "dsp": the host keeps
// its own copy of the words, so the previous array has no reader left and is released here.
inline void add_perform(void* x, void**& dsp_args, host::PerformRoutine perform, host::Signal** sp,
                        std::int32_t signals) {
    const long entries = signals + 3;
    auto** args =
        static_cast<void**>(host::sysmem_newptr(entries * static_cast<long>(sizeof(void*))));
    if (!args)
        return;
    args[0] = x;
    args[1] = reinterpret_cast<void*>(sp[0]->s_n);
    args[2] = reinterpret_cast<void*>(entries);
    for (std::int32_t i = 0; i < signals; ++i)
        args[3 + i] = sp[i]->s_vec;
    host::dsp_addv(perform, entries, args);
    host::sysmem_freeptr(dsp_args);
    dsp_args = args;
}

// The object's free routine releases the array of the last "dsp".
inline void free_perform_args(void**& dsp_args) {
    host::sysmem_freeptr(dsp_args);
    dsp_args = nullptr;
}

// The signal vectors of a perform routine's words as add_perform laid them out: the `inlets`
// input vectors into in, then the `outlets` output vectors into out.
inline void perform_vectors(const std::intptr_t* w, std::int32_t inlets, const float** in,
                            std::int32_t outlets, float** out) {
    for (std::int32_t i = 0; i < inlets; ++i)
        in[i] = reinterpret_cast<const float*>(w[4 + i]);
    for (std::int32_t j = 0; j < outlets; ++j)
        out[j] = reinterpret_cast<float*>(w[4 + inlets + j]);
}

// One perform routine per kernel path, in the order of KernelPath, so that "dsp" picks the
// process's path once and nothing is chosen per vector. `routine` gives a path's instantiation:
// []<KernelPath path>() { return object_perform<path>; }.
template <class Routine>
constexpr std::array<host::PerformRoutine, KERNEL_PATH_COUNT> perform_per_path(Routine routine) {
    return [&]<int... P>(std::integer_sequence<int, P...>) {
        return std::array<host::PerformRoutine, KERNEL_PATH_COUNT>{
            routine.template operator()<static_cast<KernelPath>(P)>()...};
    }
    (std::make_integer_sequence<int, KERNEL_PATH_COUNT>{});
}

// --- The decoders ----------------------------------------------------------------------------

// The default ring of `count` speakers on the horizontal plane, speaker 0 half a spacing to the
// right of the front and the others counterclockwise; the angles are not wrapped.
inline void default_speaker_ring(std::int32_t count, float* azimuth_rad, float* elevation_rad) {
    for (std::int32_t k = 0; k < count; ++k) {
        azimuth_rad[k] = static_cast<float>((k - 0.5) * 2.0 * DECODER_PI / count);
        elevation_rad[k] = 0.0f;
    }
}

// Whether `index` names one of the layout's `count` speakers; otherwise the decoders' error line.
inline bool speaker_exists(std::int32_t index, std::int32_t count) {
    if (index >= 0 && index < count)
        return true;
    host::post("error: invalid speaker number: %ld", static_cast<long>(index));
    return false;
}

// The speakers' directions in degrees, a line each, as the decoders' "dump" shows them.
inline void post_speakers(std::int32_t count, const float* azimuth_rad,
                          const float* elevation_rad) {
    host::post("speaker\t\tazimuth\t\televation (degrees):");
    for (std::int32_t k = 0; k < count; ++k)
        host::post("%ld\t\t\t%f\t\t%f", static_cast<long>(k),
                   azimuth_rad[k] * DECODER_RADIAN_FACTOR,
                   elevation_rad[k] * DECODER_RADIAN_FACTOR);
}

// The weights of orders 0 to 3 (4 floats), as the decoders' "dump" shows them.
inline void post_order_weights(const float* order_weights) {
    host::post("flavour weights per order: 0=%f, 1=%f, 2=%f, 3=%f",
               static_cast<double>(order_weights[0]), static_cast<double>(order_weights[1]),
               static_cast<double>(order_weights[2]), static_cast<double>(order_weights[3]));
}

// A decoder's assist text: an inlet takes a channel of the field, an outlet feeds one of the
// layout's `speakers`. False, with nothing written, for any other inlet or outlet.
inline bool decoder_assist(const AmbiFormat& format, std::int32_t speakers,
                           const float* azimuth_rad, const float* elevation_rad, long kind,
                           long index, char* text) {
    if (kind == 1 && index >= 0 && index < format.channel_count) {
        host::sprintf(text, "encoded output, channel %c (signal)", format.letters[index]);
        return true;
    }
    if (kind == 2 && index >= 0 && index < speakers) {
        host::sprintf(text, "speaker %ld at %f, %f (signal)", index,
                      azimuth_rad[index] * DECODER_RADIAN_FACTOR,
                      elevation_rad[index] * DECODER_RADIAN_FACTOR);
        return true;
    }
    return false;
}

} // namespace tovo::ambi
