// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-value access to the settings that message handlers write while a perform routine reads
// them on the signal thread, and the change counter that tells the perform routine to look
// again. Records stay plain (the host runs no constructor), so the access is atomic rather than
// the members: a relaxed store or load of one float costs a plain move.
#pragma once

#include <atomic>
#include <cstdint>

namespace tovo {

static_assert(std::atomic_ref<float>::required_alignment == alignof(float));

inline void store_relaxed(float& value, float v) {
    std::atomic_ref<float>(value).store(v, std::memory_order_relaxed);
}

// The referenced float is never a const object: only the view through which it is read is.
inline float load_relaxed(const float& value) {
    return std::atomic_ref<float>(const_cast<float&>(value)).load(std::memory_order_relaxed);
}

// A counter of changes to the settings: a handler writes its settings, then calls
// settings_changed; the perform routine reads settings_version once per vector and forms its
// coefficients again when the count differs from the one they were formed at. The release
// store and the acquire load order the settings before the count, so a perform routine on
// another core that sees the new count also sees the settings written before it (on x86 both
// are plain moves). Only handlers write the counter, and they all run on the message side.
static_assert(std::atomic_ref<std::uint32_t>::required_alignment == alignof(std::uint32_t));

inline void settings_changed(std::uint32_t& version) {
    std::atomic_ref<std::uint32_t> v(version);
    v.store(v.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

inline std::uint32_t settings_version(const std::uint32_t& version) {
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(version))
        .load(std::memory_order_acquire);
}

} // namespace tovo
