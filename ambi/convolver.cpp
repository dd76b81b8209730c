// SPDX-License-Identifier: GPL-3.0-or-later
// The partitioned convolution. Each vector, every input's last two vectors are transformed and
// the spectrum goes into the newest slot of its delay line; each ear's spectrum is the sum over
// inputs and partitions of a past spectrum times a partition of the filter, and its inverse
// transform's second half is the ear's output. The inputs go two at a time through one complex
// transform (one as the real part, one as the imaginary part, parted again by symmetry), and
// both ears come back through one: with estimated plans FFTW's complex transforms are the
// faster, and there are half as many. The delay line and the filters keep their spectra split,
// real parts then imaginary parts, padded to whole vectors of bins, so that the sums run
// straight down the arrays.
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
        for (fftwf_plan plan : {forward_, inverse_, filter_})
            if (plan)
                fftwf_destroy_plan(plan);
    }
    fftwf_free(frames_);
    fftwf_free(spectrum_);
    fftwf_free(time_);
    fftwf_free(history_);
    fftwf_free(sums_);
    fftwf_free(ears_);
    fftwf_free(products_);
}

bool Convolver::prepare(int block, int inputs, int taps) {
    if (block < 1 || inputs < 1 || inputs > MAX_CHANNELS || taps < 1)
        return false;
    block_ = block;
    inputs_ = inputs;
    pairs_ = (inputs + 1) / 2;
    partitions_ = (taps + block - 1) / block;
    bins_ = block + 1;
    size_ = 2 * block;
    stride_ = round_up(static_cast<std::size_t>(bins_), SUM_LANES);
    frame_ = round_up(static_cast<std::size_t>(size_), LINE / 2);
    head_ = 0;
    // The wide sum only where the AVX2 or AVX-512 kernels run: any other path (the portable one
    // included, which a CPU without AVX2 may be asked for) takes the plain one.
    spectrum_sum_ = spectrum_sum_baseline;
#if defined(__x86_64__)
    const KernelPath path = kernel_path();
    if (path == KERNEL_AVX2 || path == KERNEL_AVX512)
        spectrum_sum_ = spectrum_sum_avx2;
#endif
    frames_ = make_zeroed<fftwf_complex>(frame_ * pairs_);
    spectrum_ = make_zeroed<fftwf_complex>(static_cast<std::size_t>(size_));
    time_ = make_zeroed<fftwf_complex>(static_cast<std::size_t>(size_));
    history_ = make_zeroed<float>(2 * stride_ * partitions_ * inputs);
    sums_ = make_zeroed<float>(4 * stride_);
    ears_ = make_zeroed<float>(2 * round_up(static_cast<std::size_t>(block), LINE));
    products_ = make_zeroed<const float*>(2 * static_cast<std::size_t>(partitions_) * inputs);
    if (!frames_ || !spectrum_ || !time_ || !history_ || !sums_ || !ears_ || !products_)
        return false;

    std::lock_guard lock(fft_planner_mutex());
    // Estimated plans: the same algorithm on every run, hence the same samples.
    forward_ = fftwf_plan_dft_1d(size_, frames_, spectrum_, FFTW_FORWARD, FFTW_ESTIMATE);
    inverse_ = fftwf_plan_dft_1d(size_, spectrum_, time_, FFTW_BACKWARD, FFTW_ESTIMATE);
    filter_ =
        fftwf_plan_dft_r2c_1d(size_, reinterpret_cast<float*>(time_), spectrum_, FFTW_ESTIMATE);
    return forward_ && inverse_ && filter_;
}

// The transform of a pair's frame holds both inputs' spectra: Z[k] = A[k] + i B[k], where A and
// B, spectra of real frames, are conjugate-symmetric. So A[k] = (Z[k] + conj Z[N - k]) / 2 and
// B[k] = (Z[k] - conj Z[N - k]) / 2i.
void Convolver::split_pair(int pair) {
    const std::size_t per_input = 2 * stride_ * partitions_;
    const std::size_t slot = 2 * stride_ * head_;
    const int a = 2 * pair, b = 2 * pair + 1;
    float* ra = history_ + per_input * a + slot;
    float* ia = ra + stride_;
    float* rb = b < inputs_ ? history_ + per_input * b + slot : nullptr;
    float* ib = rb ? rb + stride_ : nullptr;
    for (int k = 0; k < bins_; ++k) {
        const int m = k == 0 ? 0 : size_ - k;
        const float zr = spectrum_[k][0], zi = spectrum_[k][1];
        const float wr = spectrum_[m][0], wi = -spectrum_[m][1]; // conj Z[N - k]
        ra[k] = 0.5f * (zr + wr);
        ia[k] = 0.5f * (zi + wi);
        if (rb) {
            rb[k] = 0.5f * (zi - wi);
            ib[k] = -0.5f * (zr - wr);
        }
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
    float* frame = make_zeroed<float>(static_cast<std::size_t>(size_));
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
                std::memset(frame, 0, sizeof(float) * size_);
                const int from = p * block_;
                const int count = std::max(0, std::min(block_, taps - from));
                std::copy(h + from, h + from + count, frame);
                fftwf_execute_dft_r2c(filter_, frame, spectrum);
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
    std::memset(static_cast<void*>(frames_), 0, sizeof(fftwf_complex) * frame_ * pairs_);
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
    // The ears' spectra L and R (for a mirrored set, the symmetric part plus and minus the
    // antisymmetric part) go back together as L + i R, whose upper half is conj L + i conj R.
    const bool mirrored = set.mirrored;
    for (int k = 0; k < bins_; ++k) {
        float lr = s0[k], li = s0[stride_ + k];
        float rr = s1[k], ri = s1[stride_ + k];
        if (mirrored) {
            const float ar = rr, ai = ri;
            rr = lr - ar;
            ri = li - ai;
            lr += ar;
            li += ai;
        }
        spectrum_[k][0] = lr - ri;
        spectrum_[k][1] = li + rr;
        if (k > 0 && k < block_) {
            spectrum_[size_ - k][0] = lr + ri;
            spectrum_[size_ - k][1] = rr - li;
        }
    }
    fftwf_execute(inverse_);
    for (int n = 0; n < block_; ++n) {
        left[n] = time_[block_ + n][0];
        right[n] = time_[block_ + n][1];
    }
}

void Convolver::process(const FilterSpectra& now, const FilterSpectra* before,
                        const float* const* in, float* left, float* right, float gain) {
    const std::size_t b = static_cast<std::size_t>(block_);
    head_ = head_ + 1 == partitions_ ? 0 : head_ + 1;
    for (int pair = 0; pair < pairs_; ++pair) {
        fftwf_complex* f = frames_ + frame_ * pair;
        std::memmove(static_cast<void*>(f), f + b, sizeof(fftwf_complex) * b);
        const float* x = in[2 * pair];
        const float* y = 2 * pair + 1 < inputs_ ? in[2 * pair + 1] : nullptr;
        for (std::size_t n = 0; n < b; ++n) {
            f[b + n][0] = finite_or_zero(x[n]);
            f[b + n][1] = y ? finite_or_zero(y[n]) : 0.0f;
        }
        fftwf_execute_dft(forward_, f, spectrum_);
        split_pair(pair);
    }

    // The transforms are not normalised: their 2 * block shows in the gain.
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
