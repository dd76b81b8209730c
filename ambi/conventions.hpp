// SPDX-License-Identifier: GPL-3.0-or-later
// The channel conventions a field can be exchanged in: the package's own channels, ACN order with
// SN3D (ambiX) or N3D weights, and FuMa. Each channel of each convention carries one real
// spherical harmonic, named by its ACN index, times a fixed scale, so a conversion is a scaled
// permutation: every output channel is one input channel times a constant, or silence.
#pragma once

#include "weights.hpp"

#include <cstdint>
#include <string_view>

namespace tovo::ambi {

enum Convention : std::int32_t {
    CONVENTION_TOVO,  // the package's channels and weights, as the encoder makes them
    CONVENTION_AMBIX, // ACN order, SN3D
    CONVENTION_N3D,   // ACN order, N3D
    CONVENTION_FUMA,  // FuMa order W X Y Z R S T U V K L M N O P Q, FuMa weights
};

struct ConventionWord {
    const char* word;
    Convention convention;
};

inline constexpr ConventionWord CONVENTION_WORDS[] = {
    {"tovo", CONVENTION_TOVO}, {"ambix", CONVENTION_AMBIX}, {"ambiX", CONVENTION_AMBIX},
    {"n3d", CONVENTION_N3D},   {"N3D", CONVENTION_N3D},     {"fuma", CONVENTION_FUMA},
    {"FuMa", CONVENTION_FUMA},
};

// The word spelled exactly as `word`, or null.
const ConventionWord* find_convention_word(std::string_view word);

// The convention's main word, as a box names it: "tovo", "ambix", "n3d" or "fuma".
const char* convention_word(Convention convention);

// Channels a field of `format` has in `convention`: the package's count for tovo and fuma
// (2-D: the horizontal channels W X Y U V P Q), (order + 1)^2 for ambix and n3d whatever the
// dimension, as files and other tools carry them.
std::int32_t convention_channel_count(Convention convention, const AmbiFormat& format);

// What one channel of a convention carries: channel = scale * SN3D harmonic of ACN index `acn`
// (real, without the Condon-Shortley phase).
struct ConventionChannel {
    std::int32_t acn;
    double scale;
    char name[8]; // the package's letter ("W") for tovo and fuma, "ACN3" for ambix and n3d
};

// Channel `index` (from 0, below convention_channel_count) of `convention` for `format`.
ConventionChannel convention_channel(Convention convention, const AmbiFormat& format,
                                     std::int32_t index);

// One output channel of a conversion: input channel `source` times `factor`, or silence where
// `source` is NO_SOURCE (an ACN slot that a 2-D field does not have).
inline constexpr std::int32_t NO_SOURCE = -1;
struct ChannelRoute {
    std::int32_t source;
    double factor;
};

struct Conversion {
    std::int32_t input_count;
    std::int32_t output_count;
    ChannelRoute routes[MAX_CHANNELS]; // by output channel
};

// The routes from `from` to `to` for a field of `format`. Only the harmonics the format has are
// carried: in 2-D an ACN input's other channels are ignored and an ACN output's are silent.
Conversion make_conversion(const AmbiFormat& format, Convention from, Convention to);

// One vector of n samples: out[j] = in[source] * factor, formed in double and rounded once, so
// that a round trip returns each sample to within one single-precision rounding.
void convert_vector(const Conversion& conversion, const float* const* in, float* const* out,
                    long n);

} // namespace tovo::ambi
