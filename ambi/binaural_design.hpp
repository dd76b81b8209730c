// SPDX-License-Identifier: GPL-3.0-or-later
// The filters that render an ambisonic field for two ears: one per channel and ear, fitted to a
// measured set by magnitude least squares on a dense spherical design, in the package's own
// channels, and the pieces of that design (orthonormal harmonics and their relation to the
// package's channels, the design's directions and frequency grid, lifting a 2-D field).
#pragma once

#include "weights.hpp"

#include <string>
#include <vector>

namespace tovo::ambi {

class HrirSet;

// Up to (order + 1)^2 = 16 real orthonormal (N3D) harmonics of the unit direction (x, y, z), in
// ACN order, without the Condon-Shortley phase.
void n3d_harmonics(int order, double x, double y, double z, double* out);

// How a package channel stands to the orthonormal harmonics: it is `factor` times the
// semi-normalised harmonic of index `acn` and order `order`, that is
// factor / sqrt(2 order + 1) times the orthonormal one.
struct ChannelBasis {
    int acn;
    int order;
    double factor;
    bool antisymmetric; // changes sign when the direction is mirrored left to right
};
ChannelBasis channel_basis(char letter);

// `count` directions (an even number) spread evenly over the sphere by a Fibonacci spiral, the
// second half the first mirrored left to right (y negated): 3 doubles each, x y z.
std::vector<double> dense_design(int count);

// The design's frequency grid: transforms of fft_file points at the file's rate and fft_chain
// points at the chain's rate share their bin spacing, so taking a response into the frequency
// domain at one rate and back at the other changes its rate. Exact where both rates are whole
// numbers of hertz; otherwise the bins differ by a fraction of a bin.
struct DesignGrid {
    int fft_file;
    int fft_chain;
};
DesignGrid design_grid(double file_rate, double chain_rate, int response_length);

// Filters by channel: taps samples for each of `channels` channels, channel c from c * taps.
struct BinauralFilters {
    double sample_rate = 0;
    int taps = 0;
    int channels = 0;
    std::string letters; // the channels' letters, W first
    int latency = 0;     // samples from a sound's time in the field to its time at the ears
    // The set is mirrored left to right: right[c] = +-left[c], by channel_basis's antisymmetric.
    bool mirrored = false;
    std::vector<float> left, right;
    std::vector<int> lengths; // taps of each channel's filter; those after it are 0
};

// A 3-D filter set of some order as the filters of the 2-D format of that order: a 2-D field is
// the 3-D field of sources at elevation 0, whose other channels follow from it (R = -W/sqrt 2,
// L = -0.727272727273 X, M = -0.727272727273 Y, the rest 0).
BinauralFilters lift_to_2d(const BinauralFilters& filters3d, const AmbiFormat& format2d);

// Cut-off of the least-squares fit; above it only the magnitudes are fitted.
inline constexpr double MAGLS_CUTOFF_HZ = 1500.0;
// Filter lengths at 48 kHz (the same time at any rate): the lowest orders carry the low
// frequencies, whose detail needs the longer filters; the others are cut shorter.
inline constexpr int TAPS_AT_48K = 256;
inline constexpr int LONG_TAPS_AT_48K = 512;
inline constexpr int LONG_ORDER = 1; // orders up to this one get the longer filters

// The sample rates filters are made for; the design's transforms grow with the rate.
inline constexpr double MIN_RATE_HZ = 1000;
inline constexpr double MAX_RATE_HZ = 768000;

// The filters of `format` for the set, at the chain's sample rate (within the range above).
BinauralFilters design_binaural(const HrirSet& set, double chain_rate, const AmbiFormat& format);

} // namespace tovo::ambi
