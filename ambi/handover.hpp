// SPDX-License-Identifier: GPL-3.0-or-later
// Handing a whole matrix from the message side to the perform routine without a lock: two
// matrices, one live and one spare, and a state word in the object's record. The message side
// fills the spare and marks it ready; the perform routine swaps at the start of a vector.
#pragma once

#include <atomic>
#include <cstdint>

namespace tovo::ambi {

// State bits: which matrix is live, whether the spare holds a newer one, and whether the message
// side is writing it (the perform routine then keeps the live one).
inline constexpr std::int32_t HANDOVER_LIVE = 1;
inline constexpr std::int32_t HANDOVER_READY = 2;
inline constexpr std::int32_t HANDOVER_WRITING = 4;

// Message side: claims the spare and returns its index (0 or 1). Until handover_publish, the
// perform routine neither reads nor takes it.
inline std::int32_t handover_claim(std::int32_t& state) {
    std::atomic_ref<std::int32_t> s(state);
    std::int32_t seen = s.load(std::memory_order_relaxed);
    // Acquire: the perform routine's reads of a matrix it gave up come before our writes to it.
    while (!s.compare_exchange_weak(seen, (seen & HANDOVER_LIVE) | HANDOVER_WRITING,
                                    std::memory_order_acquire, std::memory_order_relaxed)) {
    }
    return (seen & HANDOVER_LIVE) ^ 1;
}

// Message side: the claimed spare is complete; the perform routine takes it at its next vector.
inline void handover_publish(std::int32_t& state) {
    std::atomic_ref<std::int32_t> s(state);
    const std::int32_t live = s.load(std::memory_order_relaxed) & HANDOVER_LIVE;
    s.store(live | HANDOVER_READY, std::memory_order_release);
}

// Perform routine, once at the start of each vector: the index of the matrix to read for the
// whole vector, the ready spare when there is one.
inline std::int32_t handover_take(std::int32_t& state) {
    std::atomic_ref<std::int32_t> s(state);
    std::int32_t seen = s.load(std::memory_order_acquire);
    if (!(seen & HANDOVER_READY))
        return seen & HANDOVER_LIVE;
    const std::int32_t swapped = (seen & HANDOVER_LIVE) ^ 1;
    // Fails only when the message side has just claimed the spare again: keep the live one.
    if (s.compare_exchange_strong(seen, swapped, std::memory_order_acq_rel,
                                  std::memory_order_acquire))
        return swapped;
    return seen & HANDOVER_LIVE;
}

} // namespace tovo::ambi
