// SPDX-License-Identifier: GPL-3.0-or-later
// The channel format and the spherical-harmonic weights. All horizontal channels come first and
// the height channels after them, so a 2-D channel list is a prefix of the 3-D list of its order.
#include "weights.hpp"
#include <tovo/relaxed.hpp>

#include <cmath>

namespace tovo::ambi {

namespace {

constexpr char HORIZONTAL_LETTERS[] = {'W', 'X', 'Y', 'U', 'V', 'P', 'Q'};
constexpr char HEIGHT_LETTERS[] = {'Z', 'S', 'T', 'R', 'N', 'O', 'L', 'M', 'K'};

// Scale of the third-order L and M channels, as written (close to 8/11).
constexpr double LM_FACTOR = 0.727272727273;

float rounded(double v) {
    return static_cast<float>(v);
}

void put(float* weights, int index, double value) {
    store_relaxed(weights[index], static_cast<float>(value));
}

} // namespace

AmbiFormat ambi_format(std::int32_t dimension, std::int32_t order) {
    AmbiFormat format{};
    format.order = order;
    format.dimension = dimension;
    format.horizontal_count = 2 * order + 1;
    format.height_count = dimension == 2 ? 0 : (order + 1) * (order + 1) - (2 * order + 1);
    format.channel_count = format.horizontal_count + format.height_count;
    for (std::int32_t c = 0; c < format.horizontal_count && c < MAX_CHANNELS; ++c)
        format.letters[c] = HORIZONTAL_LETTERS[c];
    for (std::int32_t c = 0; c < format.height_count && format.horizontal_count + c < MAX_CHANNELS;
         ++c)
        format.letters[format.horizontal_count + c] = HEIGHT_LETTERS[c];
    return format;
}

void harmonic_values(std::int32_t order, std::int32_t dimension, const DirectionTerms& d,
                     double* values) {
    const double X = d.x, Y = d.y, X2 = d.x2, Y2 = d.y2;
    if (order >= 1) {
        values[1] = X;
        values[2] = Y;
    }
    if (order >= 2) {
        values[3] = X2 - Y2;
        values[4] = 2.0 * X * Y;
    }
    if (order >= 3) {
        values[5] = X * (X2 - 3.0 * Y2);
        // Q is -sin 3A cos^3 E: the sign this channel has always had in the package.
        values[6] = Y * (Y2 - 3.0 * X2);
    }
    if (dimension != 3)
        return;

    const double Z = d.z, Z2 = d.z2;
    const int h = 2 * order + 1;
    if (order >= 1)
        values[h] = Z;
    if (order >= 2) {
        values[h + 1] = 2.0 * Z * X;
        values[h + 2] = 2.0 * Z * Y;
        values[h + 3] = 1.5 * Z2 - 0.5;
    }
    if (order >= 3) {
        values[h + 4] = 0.5 * Z * (X2 - Y2);
        values[h + 5] = X * Y * Z;
        values[h + 6] = LM_FACTOR * X * (5.0 * Z2 - 1.0);
        values[h + 7] = LM_FACTOR * Y * (5.0 * Z2 - 1.0);
        values[h + 8] = 0.5 * Z * (5.0 * Z2 - 3.0);
    }
}

void ambi_weights(std::int32_t order, std::int32_t dimension, float azimuth_rad,
                  float elevation_rad, float* weights) {
    // The intermediates are single precision, as both objects have always rounded them; each
    // weight is then formed from them in double and rounded once when stored.
    const float c = rounded(std::cos(double{elevation_rad}));
    const float x = rounded(std::cos(double{azimuth_rad})) * c;
    const float y = rounded(std::sin(double{azimuth_rad})) * c;
    const float z = dimension == 3 ? rounded(std::sin(double{elevation_rad})) : 0.0f;
    const DirectionTerms d{x, y, z, x * x, y * y, z * z};
    double values[MAX_CHANNELS];
    harmonic_values(order, dimension, d, values);
    const std::int32_t count = 2 * order + 1 + (dimension == 3 ? order * order : 0);
    for (std::int32_t k = 1; k < count && k < MAX_CHANNELS; ++k)
        put(weights, k, values[k]);
}

const FormatKeyword* find_format_keyword(std::string_view word) {
    for (const FormatKeyword& k : FORMAT_KEYWORDS)
        if (word == k.word)
            return &k;
    return nullptr;
}

bool read_format_word(std::string_view word, FormatWords& named) {
    const FormatKeyword* k = find_format_keyword(word);
    if (!k)
        return false;
    if (k->dimension)
        named.dimension = k->dimension;
    if (k->order)
        named.order = k->order;
    return true;
}

} // namespace tovo::ambi
