// SPDX-License-Identifier: GPL-3.0-or-later
// Uniformly partitioned overlap-save convolution of many inputs with two outputs: partitions of
// one signal vector, transforms of two vectors, a frequency-domain delay line of each input's
// past spectra. Plans and memory are made on the message side; process() only runs plans,
// multiplies and adds.
#pragma once

#include "binaural_design.hpp"
#include "fft_planner.hpp"
#include "spectrum_sum.hpp"

#include <fftw3.h>

#include <cstddef>

namespace tovo::ambi {

// A filter set in the frequency domain, cut into partitions of the convolver's block: what
// process() reads, and what the message side hands over whole when the set changes.
struct FilterSpectra {
    // Two sums are formed per vector, each over some inputs with their filters' spectra. Plain
    // sets: sum 0 is the left ear over every input, sum 1 the right ear. Mirrored sets: sum 0
    // runs over the inputs that are symmetric left to right, sum 1 over the others, both with
    // the left filters; the left ear is their sum and the right ear their difference.
    bool mirrored = false;
    int terms[2] = {0, 0};
    int input[2][MAX_CHANNELS] = {};      // input of each term
    int partitions[2][MAX_CHANNELS] = {}; // partitions of each term's filter
    std::size_t at[2][MAX_CHANNELS] = {}; // where each term's spectra start in `spectra`
    // fftwf_malloc'd: per term, per partition, the real parts then the imaginary parts.
    float* spectra = nullptr;
    ~FilterSpectra();
    FilterSpectra() = default;
    FilterSpectra(const FilterSpectra&) = delete;
    FilterSpectra& operator=(const FilterSpectra&) = delete;
};

class Convolver {
public:
    Convolver() = default;
    ~Convolver();
    Convolver(const Convolver&) = delete;
    Convolver& operator=(const Convolver&) = delete;

    // Plans and buffers for vectors of `block` samples, `inputs` channels and filters of up to
    // `taps` samples; the past is silence. False when memory or a plan cannot be had.
    bool prepare(int block, int inputs, int taps);
    int block() const { return block_; }
    int inputs() const { return inputs_; }
    int partitions() const { return partitions_; }

    // The spectra of a filter set (its channels beyond inputs() are left out, longer filters
    // cut). Runs the plans on arrays of its own, so it may run while process() does.
    FilterSpectra* make_spectra(const BinauralFilters& filters) const;

    // One vector: inputs() inputs of block() samples in, two ears out, times gain. A
    // non-finite input sample counts as silence. With `before` given, the output fades from
    // what that set gives to what `now` gives across the vector.
    void process(const FilterSpectra& now, const FilterSpectra* before, const float* const* in,
                 float* left, float* right, float gain);

    // Forgets the past: the next vector starts from silence.
    void clear();

private:
    void split_pair(int pair); // spectrum_ as the spectra of the pair's two inputs
    void sum(const FilterSpectra& set, int which, float* re);
    void render(const FilterSpectra& set, float* left, float* right);

    FftUse fft_use_; // first made, last gone: the plans go before it
    int block_ = 0;
    int inputs_ = 0;
    int pairs_ = 0; // inputs taken two at a time, the last one alone if their count is odd
    int partitions_ = 0;
    int bins_ = 0;           // block + 1
    int size_ = 0;           // 2 * block: the transforms' length
    std::size_t stride_ = 0; // floats per spectrum half (re or im): bins_ rounded up
    std::size_t frame_ = 0;  // complex values per pair's frame: size_ rounded up
    int head_ = 0;           // slot of the newest spectra in the delay line
    SpectrumSum spectrum_sum_ = nullptr;
    fftwf_plan forward_ = nullptr;      // complex, size_: a pair's frame
    fftwf_plan inverse_ = nullptr;      // complex, size_: both ears at once
    fftwf_plan filter_ = nullptr;       // real, size_: a partition of a filter (message side)
    fftwf_complex* frames_ = nullptr;   // per pair: the last two vectors, one input in each part
    fftwf_complex* spectrum_ = nullptr; // one transform
    fftwf_complex* time_ = nullptr;     // one inverse transform: left ear real, right imaginary
    float* history_ = nullptr;          // per input, per slot: re then im
    float* sums_ = nullptr;             // 2 sums, re then im
    float* ears_ = nullptr;             // 2 ears x block: the outgoing set's output while fading
    const float** products_ = nullptr;  // per sum: the delay line's and the filter's spectra
};

} // namespace tovo::ambi
