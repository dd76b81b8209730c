// SPDX-License-Identifier: GPL-3.0-or-later
// The planner's lock and the count of its users.
#include "fft_planner.hpp"

#include <fftw3.h>

namespace tovo::ambi {

namespace {
int users = 0; // guarded by fft_planner_mutex()
} // namespace

std::mutex& fft_planner_mutex() {
    static std::mutex m;
    return m;
}

FftUse::FftUse() {
    std::lock_guard lock(fft_planner_mutex());
    ++users;
}

FftUse::~FftUse() {
    std::lock_guard lock(fft_planner_mutex());
    // No plan is left: the planners' memory (wisdom, twiddle factors) goes.
    if (--users == 0) {
        fftwf_cleanup();
        fftw_cleanup();
    }
}

} // namespace tovo::ambi
