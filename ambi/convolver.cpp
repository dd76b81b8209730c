// SPDX-License-Identifier: GPL-3.0-or-later
// The partitioned convolution. Each vector, every input's last two vectors are transformed into
// the newest slot of its delay line; each ear's spectrum is the sum over inputs and partitions
// of a past spectrum times a partition of the filter, and its inverse transform's second half
// is the ear's output. Spectra are kept split, real parts then imaginary parts, padded to a
// whole number of cache lines, so that the multiply-adds run straight down aligned arrays.
#include "convolver.hpp"

#include "fft_planner.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tovo::ambi {

namespace {

// Floats per cache line: every array the plans touch starts on one.
constexpr std::size_t LINE = 16;

std::size_t padded(std::size_t n) {
    return (n + LINE - 1) / LINE * LINE;
}

float* make_floats(std::size_t n) {
    auto* p = static_cast<float*>(fftwf_malloc(sizeof(float) * (n > 0 ? n : 1)));
    if (p)
        std::memset(p, 0, sizeof(float) * n);
    return p;
}

// A sample that is not a number or is infinite enters as silence, so that it cannot stay in
// the delay line.
inline float finite_or_zero(float v) {
    return (std::bit_cast<std::uint32_t>(v) & 0x7f800000u) == 0x7f800000u ? 0.0f : v;
}

// re/im += x * h over n bins (n a multiple of LINE; the padding holds zeros).
void multiply_add(std::size_t n, const float* __restrict xr, const float* __restrict xi,
                  const float* __restrict hr, const float* __restrict hi, float* __restrict re,
                  float* __restrict im) {
    for (std::size_t k = 0; k < n; ++k) {
        re[k] += xr[k] * hr[k] - xi[k] * hi[k];
        im[k] += xr[k] * hi[k] + xi[k] * hr[k];
    }
}

} // namespace

FilterSpectra::~FilterSpectra() {
    fftwf_free(spectra);
}

Convolver::~Convolver() {
    {
        std::lock_guard lock(fft_planner_mutex());
        if (forward_)
            fftwf_destroy_plan(forward_);
        if (inverse_)
            fftwf_destroy_plan(inverse_);
    }
    fftwf_free(frames_);
    fftwf_free(history_);
    fftwf_free(sums_);
    fftwf_free(time_);
    fftwf_free(ears_);
}

bool Convolver::prepare(int block, int inputs, int taps) {
    if (block < 1 || inputs < 1 || inputs > MAX_CHANNELS || taps < 1)
        return false;
    block_ = block;
    inputs_ = inputs;
    partitions_ = (taps + block - 1) / block;
    bins_ = block + 1;
    stride_ = padded(static_cast<std::size_t>(bins_));
    head_ = 0;
    const std::size_t frame = padded(2 * static_cast<std::size_t>(block));
    frames_ = make_floats(frame * inputs);
    history_ = make_floats(2 * stride_ * partitions_ * inputs);
    sums_ = make_floats(4 * stride_);
    time_ = make_floats(frame);
    ears_ = make_floats(2 * padded(static_cast<std::size_t>(block)));
    if (!frames_ || !history_ || !sums_ || !time_ || !ears_)
        return false;

    std::lock_guard lock(fft_planner_mutex());
    // Estimated plans: the same algorithm on every run, hence the same samples.
    fftw_iodim dim{2 * block, 1, 1};
    forward_ = fftwf_plan_guru_split_dft_r2c(1, &dim, 0, nullptr, time_, sums_, sums_ + stride_,
                                             FFTW_ESTIMATE);
    inverse_ = fftwf_plan_guru_split_dft_c2r(1, &dim, 0, nullptr, sums_, sums_ + stride_, time_,
                                             FFTW_ESTIMATE);
    return forward_ && inverse_;
}

FilterSpectra* Convolver::make_spectra(const BinauralFilters& filters) const {
    auto* set = new FilterSpectra;
    set->mirrored = filters.mirrored;
    const int channels = std::min(filters.channels, inputs_);
    for (int c = 0; c < channels; ++c) {
        if (filters.mirrored) {
            const bool anti =
                channel_basis(filters.letters[static_cast<std::size_t>(c)]).antisymmetric;
            const int sum = anti ? 1 : 0;
            set->input[sum][set->terms[sum]++] = c;
        } else {
            set->input[0][set->terms[0]++] = c;
            set->input[1][set->terms[1]++] = c;
        }
    }
    // Each channel's filter is cut into as many partitions as its length needs.
    const std::size_t spectrum = 2 * stride_;
    std::size_t total = 0;
    for (int sum = 0; sum < 2; ++sum)
        for (int t = 0; t < set->terms[sum]; ++t) {
            const auto c = static_cast<std::size_t>(set->input[sum][t]);
            const int length =
                std::min(c < filters.lengths.size() ? filters.lengths[c] : filters.taps,
                         std::min(filters.taps, partitions_ * block_));
            set->partitions[sum][t] = std::max(1, (length + block_ - 1) / block_);
            set->at[sum][t] = total;
            total += spectrum * set->partitions[sum][t];
        }
    set->spectra = make_floats(total);
    float* frame = make_floats(padded(2 * static_cast<std::size_t>(block_)));
    if (!set->spectra || !frame) {
        fftwf_free(frame);
        delete set;
        return nullptr;
    }
    for (int sum = 0; sum < 2; ++sum)
        for (int t = 0; t < set->terms[sum]; ++t) {
            const int c = set->input[sum][t];
            // Mirrored sets keep only the left filters; plain sets give each sum its ear.
            const std::vector<float>& ear =
                (!filters.mirrored && sum == 1) ? filters.right : filters.left;
            const float* h = &ear[static_cast<std::size_t>(c) * filters.taps];
            const int taps = std::min(filters.taps, set->partitions[sum][t] * block_);
            for (int p = 0; p < set->partitions[sum][t]; ++p) {
                std::memset(frame, 0, sizeof(float) * 2 * block_);
                const int from = p * block_;
                const int count = std::max(0, std::min(block_, taps - from));
                std::copy(h + from, h + from + count, frame);
                float* re = set->spectra + set->at[sum][t] + spectrum * p;
                fftwf_execute_split_dft_r2c(forward_, frame, re, re + stride_);
            }
        }
    fftwf_free(frame);
    return set;
}

void Convolver::clear() {
    std::memset(frames_, 0, sizeof(float) * padded(2 * static_cast<std::size_t>(block_)) * inputs_);
    std::memset(history_, 0, sizeof(float) * 2 * stride_ * partitions_ * inputs_);
    head_ = 0;
}

void Convolver::accumulate(const FilterSpectra& set, int sum, float* re, float* im) const {
    std::memset(re, 0, sizeof(float) * stride_);
    std::memset(im, 0, sizeof(float) * stride_);
    const std::size_t per_input = 2 * stride_ * partitions_;
    for (int t = 0; t < set.terms[sum]; ++t) {
        const float* h = set.spectra + set.at[sum][t];
        const float* x = history_ + static_cast<std::size_t>(set.input[sum][t]) * per_input;
        int slot = head_;
        for (int p = 0; p < set.partitions[sum][t]; ++p) {
            const float* xs = x + 2 * stride_ * slot;
            const float* hs = h + 2 * stride_ * p;
            multiply_add(stride_, xs, xs + stride_, hs, hs + stride_, re, im);
            slot = slot == 0 ? partitions_ - 1 : slot - 1;
        }
    }
}

void Convolver::render(const FilterSpectra& set, float* left, float* right) {
    float* s0 = sums_;
    float* s1 = sums_ + 2 * stride_;
    accumulate(set, 0, s0, s0 + stride_);
    accumulate(set, 1, s1, s1 + stride_);
    if (set.mirrored)
        for (std::size_t k = 0; k < 2 * stride_; ++k) {
            const float a = s0[k], b = s1[k];
            s0[k] = a + b;
            s1[k] = a - b;
        }
    const std::size_t b = static_cast<std::size_t>(block_);
    fftwf_execute_split_dft_c2r(inverse_, s0, s0 + stride_, time_);
    std::copy(time_ + b, time_ + 2 * b, left);
    fftwf_execute_split_dft_c2r(inverse_, s1, s1 + stride_, time_);
    std::copy(time_ + b, time_ + 2 * b, right);
}

void Convolver::process(const FilterSpectra& now, const FilterSpectra* before,
                        const float* const* in, float* left, float* right, float gain) {
    const std::size_t b = static_cast<std::size_t>(block_);
    const std::size_t frame = padded(2 * b);
    head_ = head_ + 1 == partitions_ ? 0 : head_ + 1;
    for (int c = 0; c < inputs_; ++c) {
        float* f = frames_ + frame * c;
        std::memmove(f, f + b, sizeof(float) * b);
        const float* x = in[c];
        for (std::size_t n = 0; n < b; ++n)
            f[b + n] = finite_or_zero(x[n]);
        float* re = history_ + (2 * stride_ * partitions_) * c + 2 * stride_ * head_;
        fftwf_execute_split_dft_r2c(forward_, f, re, re + stride_);
    }

    // The inverse transforms are not normalised: their 2 * block shows in the gain.
    const float scale = gain / static_cast<float>(2 * block_);
    render(now, left, right);
    if (before) {
        float* old_left = ears_;
        float* old_right = ears_ + padded(b);
        render(*before, old_left, old_right);
        // One vector's straight crossfade, the new set's share rising to 1 at its last sample.
        for (std::size_t n = 0; n < b; ++n) {
            const float t = static_cast<float>(n + 1) / static_cast<float>(b);
            left[n] = old_left[n] + t * (left[n] - old_left[n]);
            right[n] = old_right[n] + t * (right[n] - old_right[n]);
        }
    }
    for (std::size_t n = 0; n < b; ++n) {
        left[n] *= scale;
        right[n] *= scale;
    }
}

} // namespace tovo::ambi
