// SPDX-License-Identifier: GPL-3.0-or-later
// The ambisonic channel format shared by the encoder and the decoder, and the spherical
// harmonics of one direction in that format: channel counts and letters by order and dimension,
// the format keywords of both objects' creation words, and ambi_weights.
#pragma once

#include <cstdint>
#include <string_view>

namespace tovo::ambi {

inline constexpr std::int32_t MAX_ORDER = 3;
// Channels of the widest format, 3-D third order: sizes every per-channel array.
inline constexpr int MAX_CHANNELS = 16;

struct AmbiFormat {
    std::int32_t order;            // 1, 2 or 3
    std::int32_t dimension;        // 2 (horizontal only) or 3 (with height)
    std::int32_t horizontal_count; // 2 * order + 1, W included
    std::int32_t height_count;     // order^2 in 3-D, 0 in 2-D
    std::int32_t channel_count;    // horizontal_count + height_count
    char letters[MAX_CHANNELS];    // letter of each channel in channel order; no terminating zero
};

// The format of that dimension and order, with its counts and letters.
AmbiFormat ambi_format(std::int32_t dimension, std::int32_t order);

// Harmonics of the direction (azimuth_rad, elevation_rad) for the given format, into
// weights[1 .. channel_count - 1] (16 floats in channel order, W first). weights[0] and the
// entries past the format's channels are left as they are. Each entry is stored whole, so a
// perform routine reading the array meanwhile sees the old or the new value of each channel.
void ambi_weights(std::int32_t order, std::int32_t dimension, float azimuth_rad,
                  float elevation_rad, float* weights);

// A direction by its coordinates, x = cos A cos E, y = sin A cos E, z = sin E, with their squares
// given apart so that a caller decides where each is rounded.
struct DirectionTerms {
    double x, y, z;
    double x2, y2, z2;
};

// The format's harmonics of a direction as polynomials of its terms, each formed in double from
// the values given, into values[1 .. channel_count - 1] (16 doubles in channel order, W first;
// values[0] is left as it is). In 2-D the z terms are not read. The encoder's weights and the
// field's rotation both come from these formulas.
void harmonic_values(std::int32_t order, std::int32_t dimension, const DirectionTerms& d,
                     double* values);

// A creation word that sets the dimension or the order; the other field is 0.
struct FormatKeyword {
    const char* word;
    std::int32_t dimension;
    std::int32_t order;
};

inline constexpr FormatKeyword FORMAT_KEYWORDS[] = {
    {"2d", 2, 0},        {"2D", 2, 0},  {"3d", 3, 0},        {"3D", 3, 0},  {"1st", 0, 1},
    {"1st-order", 0, 1}, {"2nd", 0, 2}, {"2nd-order", 0, 2}, {"3rd", 0, 3}, {"3rd-order", 0, 3},
};

// The keyword spelled exactly as `word`, or null.
const FormatKeyword* find_format_keyword(std::string_view word);

// The dimension and order that creation words have named so far: 2-D first order until a
// keyword says otherwise.
struct FormatWords {
    std::int32_t dimension = 2;
    std::int32_t order = 1;
};

// Takes `word` into `named` when it is a format keyword, the last of each kind counting, and
// returns true; any other word is the object's own, and gives false.
bool read_format_word(std::string_view word, FormatWords& named);

} // namespace tovo::ambi
