// SPDX-License-Identifier: GPL-3.0-or-later
// The table of the package's channels against the SN3D harmonics and FuMa's weights, and the
// conversions between conventions built from it.
#include "conventions.hpp"

#include <charconv>
#include <cmath>

namespace tovo::ambi {

namespace {

// Scale of the third-order L and M channels, as the package writes it (close to 8/11).
constexpr double LM_FACTOR = 0.727272727273;

// A package channel by the harmonic it carries: package = per_sn3d * SN3D and
// package = per_fuma * FuMa (FuMa's weights make each channel's largest value 1).
struct PackageChannel {
    char letter;
    double per_sn3d;
    double per_fuma;
};

// By ACN index.
const PackageChannel PACKAGE_CHANNELS[MAX_CHANNELS] = {
    {'W', 1.0 / std::sqrt(2.0), 1.0},
    {'Y', 1.0, 1.0},
    {'Z', 1.0, 1.0},
    {'X', 1.0, 1.0},
    {'V', 2.0 / std::sqrt(3.0), 1.0},
    {'T', 2.0 / std::sqrt(3.0), 1.0},
    {'R', 1.0, 1.0},
    {'S', 2.0 / std::sqrt(3.0), 1.0},
    {'U', 2.0 / std::sqrt(3.0), 1.0},
    // Q has always carried -sin 3A: the opposite sign of the SN3D and FuMa channel.
    {'Q', -std::sqrt(8.0 / 5.0), -1.0},
    // N and O carry a half where FuMa's largest value is 1.
    {'O', 1.0 / std::sqrt(15.0), 1.0 / (3.0 * std::sqrt(3.0))},
    {'M', std::sqrt(8.0 / 3.0) * LM_FACTOR, LM_FACTOR / std::sqrt(135.0 / 256.0)},
    {'K', 1.0, 1.0},
    {'L', std::sqrt(8.0 / 3.0) * LM_FACTOR, LM_FACTOR / std::sqrt(135.0 / 256.0)},
    {'N', 1.0 / std::sqrt(15.0), 1.0 / (3.0 * std::sqrt(3.0))},
    {'P', std::sqrt(8.0 / 5.0), 1.0},
};

constexpr char FUMA_ORDER[] = "WXYZRSTUVKLMNOPQ";

std::int32_t acn_of_letter(char letter) {
    for (std::int32_t k = 0; k < MAX_CHANNELS; ++k)
        if (PACKAGE_CHANNELS[k].letter == letter)
            return k;
    return NO_SOURCE;
}

std::int32_t order_of_acn(std::int32_t acn) {
    std::int32_t n = 0;
    while ((n + 1) * (n + 1) <= acn)
        ++n;
    return n;
}

// Whether a field of `format` has the harmonic `acn`: all of its order in 3-D, the sectoral
// ones (ACN n^2 and n^2 + 2n) in 2-D.
bool format_has(const AmbiFormat& format, std::int32_t acn) {
    const std::int32_t n = order_of_acn(acn);
    if (n > format.order)
        return false;
    return format.dimension == 3 || acn == n * n || acn == n * n + 2 * n;
}

} // namespace

const ConventionWord* find_convention_word(std::string_view word) {
    for (const ConventionWord& w : CONVENTION_WORDS)
        if (word == w.word)
            return &w;
    return nullptr;
}

const char* convention_word(Convention convention) {
    switch (convention) {
    case CONVENTION_TOVO:
        return "tovo";
    case CONVENTION_AMBIX:
        return "ambix";
    case CONVENTION_N3D:
        return "n3d";
    case CONVENTION_FUMA:
        return "fuma";
    }
    return "?";
}

std::int32_t convention_channel_count(Convention convention, const AmbiFormat& format) {
    if (convention == CONVENTION_AMBIX || convention == CONVENTION_N3D)
        return (format.order + 1) * (format.order + 1);
    return format.channel_count;
}

ConventionChannel convention_channel(Convention convention, const AmbiFormat& format,
                                     std::int32_t index) {
    ConventionChannel c{};
    if (convention == CONVENTION_AMBIX || convention == CONVENTION_N3D) {
        c.acn = index;
        c.scale = convention == CONVENTION_N3D ? std::sqrt(2.0 * order_of_acn(index) + 1.0) : 1.0;
        c.name[0] = 'A';
        c.name[1] = 'C';
        c.name[2] = 'N';
        std::to_chars(c.name + 3, c.name + sizeof c.name - 1, index);
        return c;
    }
    // FuMa's 2-D channels are the package's, in the package's order.
    const char letter = convention == CONVENTION_FUMA && format.dimension == 3
                            ? FUMA_ORDER[index]
                            : format.letters[index];
    c.acn = acn_of_letter(letter);
    const PackageChannel& p = PACKAGE_CHANNELS[c.acn];
    c.scale = convention == CONVENTION_FUMA ? p.per_sn3d / p.per_fuma : p.per_sn3d;
    c.name[0] = letter;
    return c;
}

Conversion make_conversion(const AmbiFormat& format, Convention from, Convention to) {
    Conversion conversion{};
    conversion.input_count = convention_channel_count(from, format);
    conversion.output_count = convention_channel_count(to, format);
    for (std::int32_t j = 0; j < conversion.output_count; ++j) {
        const ConventionChannel out = convention_channel(to, format, j);
        ChannelRoute route{NO_SOURCE, 0.0};
        if (format_has(format, out.acn))
            for (std::int32_t i = 0; i < conversion.input_count; ++i) {
                const ConventionChannel in = convention_channel(from, format, i);
                if (in.acn == out.acn)
                    route = {i, out.scale / in.scale};
            }
        conversion.routes[j] = route;
    }
    return conversion;
}

void convert_vector(const Conversion& conversion, const float* const* in, float* const* out,
                    long n) {
    for (std::int32_t j = 0; j < conversion.output_count; ++j) {
        const ChannelRoute route = conversion.routes[j];
        float* o = out[j];
        if (route.source == NO_SOURCE) {
            for (long k = 0; k < n; ++k)
                o[k] = 0.0f;
            continue;
        }
        const float* i = in[route.source];
        const double g = route.factor;
        for (long k = 0; k < n; ++k)
            o[k] = static_cast<float>(i[k] * g);
    }
}

} // namespace tovo::ambi
