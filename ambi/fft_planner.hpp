// SPDX-License-Identifier: GPL-3.0-or-later
// FFTW runs its plans from any thread, but makes and destroys them from one at a time: every
// plan of the binaural code is made and destroyed under this lock, on the message side only.
// FFTW also keeps its planner's memory until told to let it go; while an FftUse lives it may
// keep it, and when the last one goes, it is given back, so that unloading the plug-in leaves
// nothing behind.
#pragma once

#include <mutex>

namespace tovo::ambi {

std::mutex& fft_planner_mutex();

// Held by whatever makes plans, for as long as it has any.
class FftUse {
public:
    FftUse();
    ~FftUse();
    FftUse(const FftUse&) = delete;
    FftUse& operator=(const FftUse&) = delete;
};

} // namespace tovo::ambi
