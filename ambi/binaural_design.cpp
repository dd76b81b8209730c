// SPDX-License-Identifier: GPL-3.0-or-later
// Magnitude-least-squares design of binaural filters. The responses of a dense design go to the
// frequency domain at the file's rate without their common delay; per bin, the orthonormal
// harmonics' coefficients are fitted by least squares below the cut-off, and above it to the
// magnitudes alone, with each direction's phase carried over from the fit of the bin below.
// Back in the time domain at the chain's rate, the filters are cut to a few hundred taps where
// their energy lies, faded at both ends and written in the package's channels.
#include "binaural_design.hpp"

#include "fft_planner.hpp"
#include "hrir_set.hpp"

#include <Eigen/Dense>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <numeric>

namespace tovo::ambi {

namespace {

constexpr double PI = std::numbers::pi;
// Scale of the package's third-order L and M channels, as written (close to 8/11).
constexpr double LM_FACTOR = 0.727272727273;
// Points of the dense design: enough for a well-conditioned fit at third order and for the
// magnitudes between the set's measurements.
constexpr int DESIGN_POINTS = 480;
// Bin spacing of the design's transforms, at most: fine enough that the fitted filters do not
// wrap around within the transform.
constexpr double MAX_BIN_HZ = 24.0;
// A response starts where it first reaches this part of its peak.
constexpr double ONSET_LEVEL = 0.1;
// Samples (at the file's rate) kept before the earliest onset when the common delay goes.
constexpr int ONSET_MARGIN = 2;
// Fades at the ends of the trimmed filters, at 48 kHz (the same time at any rate).
constexpr int FADE_IN_AT_48K = 8;
constexpr int FADE_OUT_AT_48K = 48;

using cd = std::complex<double>;

struct FftwPlan {
    fftw_plan plan = nullptr;
    ~FftwPlan() {
        if (plan) {
            std::lock_guard lock(fft_planner_mutex());
            fftw_destroy_plan(plan);
        }
    }
};

struct FftwBuffer {
    void* p;
    explicit FftwBuffer(std::size_t bytes) : p(fftw_malloc(bytes)) {}
    ~FftwBuffer() { fftw_free(p); }
    double* real() { return static_cast<double*>(p); }
    fftw_complex* complex() { return static_cast<fftw_complex*>(p); }
};

bool whole_hertz(double rate) {
    return rate == std::floor(rate) && rate >= 1 && rate <= 1e7;
}

int round_to_int(double v) {
    return static_cast<int>(std::lround(v));
}

} // namespace

void n3d_harmonics(int order, double x, double y, double z, double* out) {
    const double s3 = std::sqrt(3.0), s5 = std::sqrt(5.0), s7 = std::sqrt(7.0);
    out[0] = 1.0;
    if (order < 1)
        return;
    out[1] = s3 * y;
    out[2] = s3 * z;
    out[3] = s3 * x;
    if (order < 2)
        return;
    out[4] = s5 * s3 * x * y;
    out[5] = s5 * s3 * y * z;
    out[6] = s5 * 0.5 * (3.0 * z * z - 1.0);
    out[7] = s5 * s3 * x * z;
    out[8] = s5 * 0.5 * s3 * (x * x - y * y);
    if (order < 3)
        return;
    out[9] = s7 * std::sqrt(5.0 / 8.0) * y * (3.0 * x * x - y * y);
    out[10] = s7 * std::sqrt(15.0) * x * y * z;
    out[11] = s7 * std::sqrt(3.0 / 8.0) * y * (5.0 * z * z - 1.0);
    out[12] = s7 * 0.5 * z * (5.0 * z * z - 3.0);
    out[13] = s7 * std::sqrt(3.0 / 8.0) * x * (5.0 * z * z - 1.0);
    out[14] = s7 * 0.5 * std::sqrt(15.0) * z * (x * x - y * y);
    out[15] = s7 * std::sqrt(5.0 / 8.0) * x * (x * x - 3.0 * y * y);
}

ChannelBasis channel_basis(char letter) {
    const double two_by_root3 = 2.0 / std::sqrt(3.0);
    const double root_8_5 = std::sqrt(8.0 / 5.0);
    const double root_15th = 1.0 / std::sqrt(15.0);
    const double lm = LM_FACTOR * std::sqrt(8.0 / 3.0);
    switch (letter) {
    case 'W':
        return {0, 0, 1.0 / std::sqrt(2.0), false};
    case 'Y':
        return {1, 1, 1.0, true};
    case 'Z':
        return {2, 1, 1.0, false};
    case 'X':
        return {3, 1, 1.0, false};
    case 'V':
        return {4, 2, two_by_root3, true};
    case 'T':
        return {5, 2, two_by_root3, true};
    case 'R':
        return {6, 2, 1.0, false};
    case 'S':
        return {7, 2, two_by_root3, false};
    case 'U':
        return {8, 2, two_by_root3, false};
    case 'Q':
        return {9, 3, -root_8_5, true};
    case 'O':
        return {10, 3, root_15th, true};
    case 'M':
        return {11, 3, lm, true};
    case 'K':
        return {12, 3, 1.0, false};
    case 'L':
        return {13, 3, lm, false};
    case 'N':
        return {14, 3, root_15th, false};
    case 'P':
        return {15, 3, root_8_5, false};
    default:
        return {0, 0, 0.0, false};
    }
}

std::vector<double> dense_design(int count) {
    const int half = count / 2;
    std::vector<double> xyz(6 * static_cast<std::size_t>(half));
    const double golden_angle = PI * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < half; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / half;
        const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
        const double a = golden_angle * i;
        double* p = &xyz[3 * static_cast<std::size_t>(i)];
        double* m = &xyz[3 * static_cast<std::size_t>(i + half)];
        p[0] = m[0] = r * std::cos(a);
        p[1] = r * std::sin(a);
        m[1] = -p[1];
        p[2] = m[2] = z;
    }
    return xyz;
}

DesignGrid design_grid(double file_rate, double chain_rate, int response_length) {
    // Finest spacing the responses need: a transform at least twice their length.
    double widest = file_rate / (2.0 * std::max(response_length, 1));
    widest = std::min(widest, MAX_BIN_HZ);
    if (whole_hertz(file_rate) && whole_hertz(chain_rate)) {
        const auto a = static_cast<std::int64_t>(file_rate);
        const auto b = static_cast<std::int64_t>(chain_rate);
        const auto g = static_cast<double>(std::gcd(a, b));
        const double steps = std::ceil(g / widest - 1e-9);
        const double spacing = g / steps;
        // Rates with a large common divisor give a spacing that divides both exactly.
        if (file_rate / spacing <= 65536 && chain_rate / spacing <= 65536)
            return {round_to_int(file_rate / spacing), round_to_int(chain_rate / spacing)};
    }
    const int fft_chain = std::max(2, round_to_int(chain_rate / widest));
    return {round_to_int(fft_chain * file_rate / chain_rate), fft_chain};
}

BinauralFilters lift_to_2d(const BinauralFilters& f3, const AmbiFormat& format2d) {
    BinauralFilters f2 = f3;
    const int order = format2d.order;
    const int taps = f3.taps;
    f2.channels = format2d.channel_count;
    f2.letters.assign(format2d.letters, static_cast<std::size_t>(f2.channels));
    f2.left.assign(static_cast<std::size_t>(f2.channels) * taps, 0.0f);
    f2.right.assign(f2.left.size(), 0.0f);
    // The 3-D channels of the same order, by letter.
    const AmbiFormat format3d = ambi_format(3, order);
    auto index3 = [&](char letter) {
        for (int c = 0; c < format3d.channel_count; ++c)
            if (format3d.letters[c] == letter)
                return c;
        return -1;
    };
    for (int c = 0; c < f2.channels; ++c) {
        const char letter = format2d.letters[c];
        // The 3-D channel that follows this one at elevation 0, and by how much.
        char follower = 0;
        double share = 0;
        if (letter == 'W' && order >= 2) {
            follower = 'R';
            share = -1.0 / std::sqrt(2.0);
        } else if (letter == 'X' && order >= 3) {
            follower = 'L';
            share = -LM_FACTOR;
        } else if (letter == 'Y' && order >= 3) {
            follower = 'M';
            share = -LM_FACTOR;
        }
        const int own = index3(letter);
        const int other = follower ? index3(follower) : -1;
        for (int n = 0; n < taps; ++n) {
            const std::size_t to = static_cast<std::size_t>(c) * taps + n;
            const std::size_t from = static_cast<std::size_t>(own) * taps + n;
            double l = f3.left[from], r = f3.right[from];
            if (other >= 0) {
                const std::size_t o = static_cast<std::size_t>(other) * taps + n;
                l += share * f3.left[o];
                r += share * f3.right[o];
            }
            f2.left[to] = static_cast<float>(l);
            f2.right[to] = static_cast<float>(r);
        }
    }
    return f2;
}

BinauralFilters design_binaural(const HrirSet& set, double chain_rate, const AmbiFormat& format) {
    // A 2-D format is designed as the 3-D field of its order, then lifted.
    if (format.dimension == 2) {
        return lift_to_2d(design_binaural(set, chain_rate, ambi_format(3, format.order)), format);
    }

    const FftUse fft_use; // outlives the plans below
    const int order = format.order;
    const int nh = (order + 1) * (order + 1);
    const double file_rate = set.sample_rate();
    const int length = set.length();
    const DesignGrid grid = design_grid(file_rate, chain_rate, length);
    const int n1 = grid.fft_file, n2 = grid.fft_chain;
    const double spacing = chain_rate / n2;
    // Bins both rates hold below their Nyquist frequencies; a Nyquist bin is left out, as a
    // real filter can give it no phase.
    int bins = std::min(n1, n2) / 2 + 1;
    if (std::min(n1, n2) % 2 == 0)
        --bins;

    // The dense design's responses at the file's rate.
    const int count = DESIGN_POINTS;
    const std::vector<double> points = dense_design(count);
    std::vector<float> left(static_cast<std::size_t>(count) * length);
    std::vector<float> right(left.size());
    std::vector<double> delay(2 * static_cast<std::size_t>(count));
    // The design's second half mirrors its first: for a mirrored set, its responses are the
    // first half's with the ears swapped, which makes the fit itself mirrored.
    const int half = count / 2;
    for (int i = 0; i < count; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * length;
        if (set.mirrored() && i >= half) {
            const std::size_t from = static_cast<std::size_t>(i - half) * length;
            std::copy(&right[from], &right[from] + length, &left[at]);
            std::copy(&left[from], &left[from] + length, &right[at]);
            delay[2 * i] = delay[2 * (i - half) + 1];
            delay[2 * i + 1] = delay[2 * (i - half)];
            continue;
        }
        const double* p = &points[3 * static_cast<std::size_t>(i)];
        set.response(p[0], p[1], p[2], &left[at], &right[at], delay[2 * i], delay[2 * i + 1]);
    }

    // The common delay: the earliest onset of any response, less a small margin.
    double bulk = 1e300;
    for (int i = 0; i < count; ++i)
        for (int ear = 0; ear < 2; ++ear) {
            const float* h = &(ear ? right : left)[static_cast<std::size_t>(i) * length];
            float peak = 0;
            for (int n = 0; n < length; ++n)
                peak = std::max(peak, std::fabs(h[n]));
            int onset = 0;
            while (onset < length && std::fabs(h[onset]) < ONSET_LEVEL * peak)
                ++onset;
            bulk = std::min(bulk, onset + delay[2 * i + ear]);
        }
    bulk = std::max(0.0, bulk - ONSET_MARGIN);

    // Spectra on the shared bins, without the common delay: entry (point, bin) per ear.
    Eigen::MatrixXcd spectrum[2] = {Eigen::MatrixXcd(count, bins), Eigen::MatrixXcd(count, bins)};
    {
        FftwBuffer time(sizeof(double) * n1);
        FftwBuffer freq(sizeof(fftw_complex) * (n1 / 2 + 1));
        FftwPlan forward;
        {
            std::lock_guard lock(fft_planner_mutex());
            forward.plan = fftw_plan_dft_r2c_1d(n1, time.real(), freq.complex(), FFTW_ESTIMATE);
        }
        for (int i = 0; i < count; ++i)
            for (int ear = 0; ear < 2; ++ear) {
                const float* h = &(ear ? right : left)[static_cast<std::size_t>(i) * length];
                std::fill(time.real(), time.real() + n1, 0.0);
                std::copy(h, h + std::min(length, n1), time.real());
                fftw_execute(forward.plan);
                const double shift = delay[2 * i + ear] - bulk; // samples at the file's rate
                const cd step = std::polar(1.0, -2.0 * PI * shift / n1);
                cd turn = 1.0;
                for (int k = 0; k < bins; ++k, turn *= step)
                    spectrum[ear](i, k) = cd(freq.complex()[k][0], freq.complex()[k][1]) * turn;
            }
    }

    // The harmonics of the design and their pseudo-inverse.
    Eigen::MatrixXd harmonics(count, nh);
    for (int i = 0; i < count; ++i) {
        double h[16];
        const double* p = &points[3 * static_cast<std::size_t>(i)];
        n3d_harmonics(order, p[0], p[1], p[2], h);
        for (int j = 0; j < nh; ++j)
            harmonics(i, j) = h[j];
    }
    const Eigen::MatrixXd fit = harmonics.completeOrthogonalDecomposition().pseudoInverse();
    const Eigen::MatrixXcd fit_c = fit.cast<cd>();
    const Eigen::MatrixXcd harmonics_c = harmonics.cast<cd>();

    const int cutoff_bin = std::min(bins - 1, static_cast<int>(MAGLS_CUTOFF_HZ / spacing));
    Eigen::MatrixXcd coefficients[2] = {Eigen::MatrixXcd(nh, bins), Eigen::MatrixXcd(nh, bins)};
    for (int ear = 0; ear < 2; ++ear) {
        coefficients[ear].leftCols(cutoff_bin + 1) = fit_c * spectrum[ear].leftCols(cutoff_bin + 1);
        Eigen::VectorXcd target(count);
        for (int k = cutoff_bin + 1; k < bins; ++k) {
            const Eigen::VectorXcd rendered = harmonics_c * coefficients[ear].col(k - 1);
            for (int i = 0; i < count; ++i) {
                const double magnitude = std::abs(spectrum[ear](i, k));
                const double r = std::abs(rendered(i));
                target(i) = r > 0 ? rendered(i) * (magnitude / r) : cd(magnitude, 0.0);
            }
            coefficients[ear].col(k) = fit_c * target;
            // The fit loses energy where the order cannot follow the set: restore each bin's
            // energy over the design (diffuse-field equalisation).
            const double wanted = spectrum[ear].col(k).squaredNorm();
            const double got = (harmonics_c * coefficients[ear].col(k)).squaredNorm();
            if (got > 0)
                coefficients[ear].col(k) *= std::sqrt(wanted / got);
        }
    }

    // Back to the time domain at the chain's rate, one filter per harmonic and ear.
    std::vector<double> impulse(2 * static_cast<std::size_t>(nh) * n2);
    {
        FftwBuffer freq(sizeof(fftw_complex) * (n2 / 2 + 1));
        FftwBuffer time(sizeof(double) * n2);
        FftwPlan inverse;
        {
            std::lock_guard lock(fft_planner_mutex());
            inverse.plan = fftw_plan_dft_c2r_1d(n2, freq.complex(), time.real(), FFTW_ESTIMATE);
        }
        // A filter keeps its frequency response at the new rate: the same spectrum on the same
        // bins, whatever the number of points.
        const double scale = 1.0 / n2;
        for (int ear = 0; ear < 2; ++ear)
            for (int j = 0; j < nh; ++j) {
                for (int k = 0; k <= n2 / 2; ++k) {
                    const cd v = k < bins ? coefficients[ear](j, k) * scale : cd();
                    freq.complex()[k][0] = v.real();
                    freq.complex()[k][1] = k == 0 ? 0.0 : v.imag();
                }
                fftw_execute(inverse.plan);
                std::copy(time.real(), time.real() + n2,
                          &impulse[(static_cast<std::size_t>(ear) * nh + j) * n2]);
            }
    }

    // Keep the taps where the energy is: the window of that length, taken around the circle,
    // that holds the most of all filters' energy.
    const int taps = std::min(n2, std::max(8, round_to_int(TAPS_AT_48K * chain_rate / 48000.0)));
    std::vector<double> energy(n2, 0.0);
    for (std::size_t f = 0; f < 2 * static_cast<std::size_t>(nh); ++f)
        for (int n = 0; n < n2; ++n)
            energy[n] += impulse[f * n2 + n] * impulse[f * n2 + n];
    double in_window = 0;
    for (int n = 0; n < taps; ++n)
        in_window += energy[(n2 - taps + n) % n2];
    // Windows from `taps` samples before time zero to time zero.
    int best_start = n2 - taps;
    double best = in_window;
    for (int start = n2 - taps + 1; start <= n2; ++start) {
        in_window += energy[(start + taps - 1) % n2] - energy[start - 1];
        if (in_window > best) {
            best = in_window;
            best_start = start % n2;
        }
    }
    const int lead = (n2 - best_start) % n2; // taps before time zero

    const int fade_in = std::max(1, round_to_int(FADE_IN_AT_48K * chain_rate / 48000.0));
    const int fade_out = std::max(1, round_to_int(FADE_OUT_AT_48K * chain_rate / 48000.0));
    const int long_taps =
        std::min(n2, std::max(taps, round_to_int(LONG_TAPS_AT_48K * chain_rate / 48000.0)));
    auto window = [&](int n, int length) {
        double w = 1.0;
        if (n < fade_in)
            w = 0.5 - 0.5 * std::cos(PI * (n + 0.5) / fade_in);
        const int from_end = length - 1 - n;
        if (from_end < fade_out)
            w = std::min(w, 0.5 - 0.5 * std::cos(PI * (from_end + 0.5) / fade_out));
        return w;
    };

    BinauralFilters out;
    out.sample_rate = chain_rate;
    out.taps = std::max(taps, long_taps);
    out.channels = format.channel_count;
    out.letters.assign(format.letters, static_cast<std::size_t>(format.channel_count));
    out.latency = lead;
    out.left.assign(static_cast<std::size_t>(out.channels) * out.taps, 0.0f);
    out.right.assign(out.left.size(), 0.0f);
    out.lengths.assign(static_cast<std::size_t>(out.channels), taps);

    // The orthonormal filters in the package's channels: a channel is factor / sqrt(2n + 1)
    // times its orthonormal harmonic, so its filter is sqrt(2n + 1) / factor times that one.
    for (int c = 0; c < out.channels; ++c) {
        const ChannelBasis b = channel_basis(format.letters[c]);
        const double scale = std::sqrt(2.0 * b.order + 1.0) / b.factor;
        const int length = b.order <= LONG_ORDER ? long_taps : taps;
        out.lengths[static_cast<std::size_t>(c)] = length;
        for (int ear = 0; ear < 2; ++ear) {
            const double* h = &impulse[(static_cast<std::size_t>(ear) * nh + b.acn) * n2];
            float* to = &(ear ? out.right : out.left)[static_cast<std::size_t>(c) * out.taps];
            for (int n = 0; n < length; ++n)
                to[n] = static_cast<float>(scale * window(n, length) * h[(best_start + n) % n2]);
        }
    }

    // A mirrored set gives mirrored filters up to rounding: made exact, the convolution can
    // share them between the ears.
    out.mirrored = set.mirrored();
    if (out.mirrored)
        for (int c = 0; c < out.channels; ++c) {
            const double sign = channel_basis(format.letters[c]).antisymmetric ? -1.0 : 1.0;
            for (int n = 0; n < out.taps; ++n) {
                const std::size_t i = static_cast<std::size_t>(c) * out.taps + n;
                const double l = 0.5 * (out.left[i] + sign * out.right[i]);
                out.left[i] = static_cast<float>(l);
                out.right[i] = static_cast<float>(sign * l);
            }
        }
    return out;
}

} // namespace tovo::ambi
