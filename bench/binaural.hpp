// SPDX-License-Identifier: GPL-3.0-or-later
// The headphone renderer's cost: tovo.ambi.binaural~'s convolution at third order in 3-D on the
// default set, beside libspatialaudio's binauralizer on the same set, in CPU time per second of
// audio.
#pragma once

#include <string>
#include <vector>

namespace tovo::bench {

// Times both at vectors of n samples over `rounds` rounds, prints a table and adds a summary
// line.
void bench_binaural(long n, int rounds, std::vector<std::string>& summary);

} // namespace tovo::bench
