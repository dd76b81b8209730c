// SPDX-License-Identifier: GPL-3.0-or-later
// The flavour presets and the per-channel weights a decoder derives from its per-order weights.
#include "flavours.hpp"
#include <tovo/relaxed.hpp>

namespace tovo::ambi {

// In-phase: M!(M+1)! / ((M+m+1)!(M-m)!); max-rE: P_m of the largest root of P_(M+1); both to three
// decimals, the three-dimensional weights, used for 2-D decoders as well.
const float FLAVOUR_TABLE[FLAVOUR_COUNT][MAX_ORDER][ORDER_WEIGHT_COUNT] = {
    // none
    {{1.0f, 1.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f, 0.0f}, {1.0f, 1.0f, 1.0f, 1.0f}},
    // default
    {{0.707f, 1.0f, 0.0f, 0.0f}, {0.707f, 0.75f, 0.5f, 0.0f}, {0.707f, 0.75f, 0.5f, 0.3f}},
    // in-phase
    {{1.0f, 0.333f, 0.0f, 0.0f}, {1.0f, 0.5f, 0.1f, 0.0f}, {1.0f, 0.6f, 0.2f, 0.029f}},
    // max-rE
    {{1.0f, 0.577f, 0.0f, 0.0f}, {1.0f, 0.775f, 0.4f, 0.0f}, {1.0f, 0.861f, 0.612f, 0.305f}},
};

namespace {

// Orders of the height channels Z; S T R; N O L M K.
constexpr std::int32_t HEIGHT_ORDERS[] = {1, 2, 2, 2, 3, 3, 3, 3, 3};

} // namespace

std::int32_t channel_order(const AmbiFormat& format, std::int32_t channel) {
    if (channel < format.horizontal_count)
        return (channel + 1) / 2; // W; X Y; U V; P Q
    return HEIGHT_ORDERS[channel - format.horizontal_count];
}

void decoder_apply_flavour(const AmbiFormat& format, std::int32_t flavour, float* order_weights,
                           float* channel_weights) {
    const float* preset = FLAVOUR_TABLE[flavour][format.order - 1];
    for (int m = 0; m < ORDER_WEIGHT_COUNT; ++m)
        order_weights[m] = preset[m];
    decoder_update_channel_weights(format, order_weights, channel_weights);
}

void decoder_update_channel_weights(const AmbiFormat& format, const float* order_weights,
                                    float* channel_weights) {
    for (std::int32_t c = 0; c < format.channel_count; ++c)
        store_relaxed(channel_weights[c], order_weights[channel_order(format, c)]);
}

bool read_flavour_word(std::span<const FlavourWord> words, std::string_view word,
                       std::int32_t& flavour) {
    for (const FlavourWord& f : words)
        if (word == f.word) {
            flavour = f.flavour;
            return true;
        }
    return false;
}

} // namespace tovo::ambi
