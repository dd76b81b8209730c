// SPDX-License-Identifier: GPL-3.0-or-later
// FFTW runs its plans from any thread, but makes and destroys them from one at a time: every
// plan of the binaural code is made and destroyed under this lock, on the message side only.
#pragma once

#include <mutex>

namespace tovo::ambi {

inline std::mutex& fft_planner_mutex() {
    static std::mutex m;
    return m;
}

} // namespace tovo::ambi
