// SPDX-License-Identifier: GPL-3.0-or-later
// The partitioned convolution. Each vector, every input's last two vectors are transformed and
// the spectrum goes into the newest slot of its delay line; each ear's spectrum is the sum over
// inputs and partitions of a past spectrum times a partition of the filter, and its inverse
// transform's second half is the ear's output. The transforms are FFTW's interleaved ones,
// which have its fastest codelets; the delay line and the filters keep their spectra split, real
// parts then imaginary parts, padded to whole vectors of bins, so that the sums run straight down
// the arrays.
#include "convolver.hpp"

#include "fft_planner.hpp"
#include "kernels.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tovo::ambi {

namespace {

// Floats per cache line: every frame the plans read starts on one.
constexpr std::size_t LINE = 16;

std::size_t round_up(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

template <class T> T* make_zeroed(std::size_t n) {
    auto* p = static_cast<T*>(fftwf_malloc(sizeof(T) * (n > 0 ? n : 1)));
    if (p)
        std::memset(static_cast<void*>(p), 0, sizeof(T) * n);
    return p;
}

// A sample that is not a number or is infinite enters as silence, so that it cannot stay in
// the delay line.
inline float finite_or_zero(float v) {
    return (std::bit_cast<std::uint32_t>(v) & 0x7f800000u) == 0x7f800000u ? 0.0f : v;
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
    fftwf_free(spectrum_);
    fftwf_free(history_);
    fftwf_free(sums_);
    fftwf_free(time_);
    fftwf_free(ears_);
    fftwf_free(products_);
}

bool Convolver::prepare(int block, int inputs, int taps) {
    if (block < 1 || inputs < 1 || inputs > MAX_CHANNELS || taps < 1)
        return false;
    block_ = block;
    inputs_ = inputs;
    partitions_ = (taps + block - 1) / block;
    bins_ = block + 1;
    stride_ = round_up(static_cast<std::size_t>(bins_), SUM_LANES);
    frame_ = round_up(2 * static_cast<std::size_t>(block), LINE);
    head_ = 0;
    spectrum_sum_ = kernel_path() >= KERNEL_AVX2 ? spectrum_sum_avx2 : spectrum_sum_baseline;
    frames_ = make_zeroed<float>(frame_ * inputs);
    spectrum_ = make_zeroed<fftwf_complex>(static_cast<std::size_t>(bins_));
    history_ = make_zeroed<float>(2 * stride_ * partitions_ * inputs);
    sums_ = make_zeroed<float>(4 * stride_);
    time_ = make_zeroed<float>(frame_);
    ears_ = make_zeroed<float>(2 * round_up(static_cast<std::size_t>(block), LINE));
    products_ = make_zeroed<const float*>(2 * static_cast<std::size_t>(partitions_) * inputs);
    if (!frames_ || !spectrum_ || !history_ || !sums_ || !time_ || !ears_ || !products_)
        return false;

    std::lock_guard lock(fft_planner_mutex());
    // Estimated plans: the same algorithm on every run, hence the same samples.
    forward_ = fftwf_plan_dft_r2c_1d(2 * block, time_, spectrum_, FFTW_ESTIMATE);
    inverse_ = fftwf_plan_dft_c2r_1d(2 * block, spectrum_, time_, FFTW_ESTIMATE);
    return forward_ && inverse_;
}

void Convolver::deinterleave(float* re) const {
    float* im = re + stride_;
    for (int k = 0; k < bins_; ++k) {
        re[k] = spectrum_[k][0];
        im[k] = spectrum_[k][1];
    }
}

FilterSpectra* Convolver::make_spectra(const BinauralFilters& filters) const {
    auto* set = new FilterSpectra;
    set->mirrored = filters.mirrored;
    const int channels = std::min(filters.channels, inputs_);
    for (int c = 0; c < channels; ++c) {
        if (filters.mirrored) {
            const char letter = filters.letters[static_cast<std::size_t>(c)];
            const int which = channel_basis(letter).antisymmetric ? 1 : 0;
            set->input[which][set->terms[which]++] = c;
        } else {
            set->input[0][set->terms[0]++] = c;
            set->input[1][set->terms[1]++] = c;
        }
    }
    // Each channel's filter is cut into as many partitions as its length needs.
    const std::size_t spectrum_floats = 2 * stride_;
    std::size_t total = 0;
    for (int which = 0; which < 2; ++which)
        for (int t = 0; t < set->terms[which]; ++t) {
            const auto c = static_cast<std::size_t>(set->input[which][t]);
            const int length =
                std::min({c < filters.lengths.size() ? filters.lengths[c] : filters.taps,
                          filters.taps, partitions_ * block_});
            set->partitions[which][t] = std::max(1, (length + block_ - 1) / block_);
            set->at[which][t] = total;
            total += spectrum_floats * set->partitions[which][t];
        }
    set->spectra = make_zeroed<float>(total);
    // Arrays of its own, aligned as the plan's, so that this may run beside process().
    float* frame = make_zeroed<float>(frame_);
    auto* spectrum = make_zeroed<fftwf_complex>(static_cast<std::size_t>(bins_));
    if (!set->spectra || !frame || !spectrum) {
        fftwf_free(frame);
        fftwf_free(spectrum);
        delete set;
        return nullptr;
    }
    for (int which = 0; which < 2; ++which)
        for (int t = 0; t < set->terms[which]; ++t) {
            const int c = set->input[which][t];
            // Mirrored sets keep only the left filters; plain sets give each sum its ear.
            const std::vector<float>& ear =
                (!filters.mirrored && which == 1) ? filters.right : filters.left;
            const float* h = &ear[static_cast<std::size_t>(c) * filters.taps];
            const int taps = std::min(filters.taps, set->partitions[which][t] * block_);
            for (int p = 0; p < set->partitions[which][t]; ++p) {
                std::memset(frame, 0, sizeof(float) * frame_);
                const int from = p * block_;
                const int count = std::max(0, std::min(block_, taps - from));
                std::copy(h + from, h + from + count, frame);
                fftwf_execute_dft_r2c(forward_, frame, spectrum);
                float* re = set->spectra + set->at[which][t] + spectrum_floats * p;
                for (int k = 0; k < bins_; ++k) {
                    re[k] = spectrum[k][0];
                    re[stride_ + k] = spectrum[k][1];
                }
            }
        }
    fftwf_free(frame);
    fftwf_free(spectrum);
    return set;
}

void Convolver::clear() {
    std::memset(frames_, 0, sizeof(float) * frame_ * inputs_);
    std::memset(history_, 0, sizeof(float) * 2 * stride_ * partitions_ * inputs_);
    head_ = 0;
}

// One of the set's two sums, into re and re + stride_.
void Convolver::sum(const FilterSpectra& set, int which, float* re) {
    const std::size_t per_input = 2 * stride_ * partitions_;
    const float** x = products_;
    const float** h = products_ + static_cast<std::size_t>(partitions_) * inputs_;
    std::size_t count = 0;
    for (int t = 0; t < set.terms[which]; ++t) {
        const float* filter = set.spectra + set.at[which][t];
        const float* line = history_ + static_cast<std::size_t>(set.input[which][t]) * per_input;
        int slot = head_;
        for (int p = 0; p < set.partitions[which][t]; ++p, ++count) {
            x[count] = line + 2 * stride_ * slot;
            h[count] = filter + 2 * stride_ * p;
            slot = slot == 0 ? partitions_ - 1 : slot - 1;
        }
    }
    spectrum_sum_(stride_, count, x, h, stride_, re, re + stride_);
}

void Convolver::render(const FilterSpectra& set, float* left, float* right) {
    float* s0 = sums_;
    float* s1 = sums_ + 2 * stride_;
    sum(set, 0, s0);
    sum(set, 1, s1);
    // Mirrored sets: the left ear is the sum of the symmetric and the antisymmetric part, the
    // right ear their difference.
    const bool mirrored = set.mirrored;
    const std::size_t b = static_cast<std::size_t>(block_);
    for (int ear = 0; ear < 2; ++ear) {
        const float sign = ear == 0 ? 1.0f : -1.0f;
        const float* re = ear == 0 || mirrored ? s0 : s1;
        const float* other = mirrored ? s1 : nullptr;
        for (int k = 0; k < bins_; ++k) {
            float r = re[k], i = re[stride_ + k];
            if (other) {
                r += sign * other[k];
                i += sign * other[stride_ + k];
            }
            spectrum_[k][0] = r;
            spectrum_[k][1] = i;
        }
        fftwf_execute(inverse_);
        std::copy(time_ + b, time_ + 2 * b, ear == 0 ? left : right);
    }
}

void Convolver::process(const FilterSpectra& now, const FilterSpectra* before,
                        const float* const* in, float* left, float* right, float gain) {
    const std::size_t b = static_cast<std::size_t>(block_);
    head_ = head_ + 1 == partitions_ ? 0 : head_ + 1;
    for (int c = 0; c < inputs_; ++c) {
        float* f = frames_ + frame_ * c;
        std::memmove(f, f + b, sizeof(float) * b);
        const float* x = in[c];
        for (std::size_t n = 0; n < b; ++n)
            f[b + n] = finite_or_zero(x[n]);
        fftwf_execute_dft_r2c(forward_, f, spectrum_);
        deinterleave(history_ + (2 * stride_ * partitions_) * c + 2 * stride_ * head_);
    }

    // The inverse transforms are not normalised: their 2 * block shows in the gain.
    const float scale = gain / static_cast<float>(2 * block_);
    render(now, left, right);
    if (before) {
        float* old_left = ears_;
        float* old_right = ears_ + round_up(b, LINE);
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
