// SPDX-License-Identifier: GPL-3.0-or-later
// Decoder flavours: the weight of each channel by its order (0 for W up to 3), from a preset
// table or set by hand, and the map from channel to order. The routines work on a decoder's
// two weight arrays passed in, so they are tested without a host.
#pragma once

#include "weights.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace tovo::ambi {

inline constexpr std::int32_t FLAVOUR_NONE = 0;
inline constexpr std::int32_t FLAVOUR_DEFAULT = 1;
inline constexpr std::int32_t FLAVOUR_IN_PHASE = 2;
inline constexpr std::int32_t FLAVOUR_MAX_RE = 3;
inline constexpr int FLAVOUR_COUNT = 4;
inline constexpr int ORDER_WEIGHT_COUNT = MAX_ORDER + 1; // orders 0 to 3

// Weight of a channel of order m in a decoder of order M, for each flavour:
// FLAVOUR_TABLE[flavour][M - 1][m]. Orders above M weigh 0 in every flavour.
extern const float FLAVOUR_TABLE[FLAVOUR_COUNT][MAX_ORDER][ORDER_WEIGHT_COUNT];

// Order of channel `channel` (from 0, channel order) of the format.
std::int32_t channel_order(const AmbiFormat& format, std::int32_t channel);

// order_weights (4 floats, orders 0 to 3) from the table for the format's order, then
// channel_weights from them.
void decoder_apply_flavour(const AmbiFormat& format, std::int32_t flavour, float* order_weights,
                           float* channel_weights);

// channel_weights[c] = order_weights[order of channel c] for the format's channels (16 floats in
// channel order, W first); each stored whole, as a perform routine may be reading them.
void decoder_update_channel_weights(const AmbiFormat& format, const float* order_weights,
                                    float* channel_weights);

// A creation word that names a flavour. Each decoder lists its own words.
struct FlavourWord {
    const char* word;
    std::int32_t flavour;
};

// Sets `flavour` from the entry of `words` spelled exactly as `word` and returns true; false,
// leaving it as it is, for any other word.
bool read_flavour_word(std::span<const FlavourWord> words, std::string_view word,
                       std::int32_t& flavour);

} // namespace tovo::ambi
