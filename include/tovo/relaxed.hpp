// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-value access to the settings that message handlers write while a perform routine reads
// them on the signal thread. Records stay plain (the host runs no constructor), so the access is
// atomic rather than the members: a relaxed store or load of one float, which costs a plain move.
#pragma once

#include <atomic>

namespace tovo {

static_assert(std::atomic_ref<float>::required_alignment == alignof(float));

inline void store_relaxed(float& value, float v) {
    std::atomic_ref<float>(value).store(v, std::memory_order_relaxed);
}

// The referenced float is never a const object: only the view through which it is read is.
inline float load_relaxed(const float& value) {
    return std::atomic_ref<float>(const_cast<float&>(value)).load(std::memory_order_relaxed);
}

} // namespace tovo
