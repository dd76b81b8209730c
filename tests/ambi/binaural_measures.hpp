// SPDX-License-Identifier: GPL-3.0-or-later
// How close a rendered pair of ear responses comes to a measured pair: band levels in
// third-octave bands, interaural level differences per band, and the interaural time
// difference below 1.5 kHz from the peak of the ears' cross-correlation.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace tovo::testing {

constexpr int MEASURE_FFT = 4096;

// Third-octave bands from 100 Hz up to 10 kHz (centres 100 * 2^(i/3)).
struct Band {
    double low, high, centre;
};
inline std::vector<Band> third_octaves(double from_hz, double to_hz) {
    std::vector<Band> bands;
    for (int i = 0;; ++i) {
        const double centre = 100.0 * std::pow(2.0, i / 3.0);
        if (centre > to_hz * 1.0001)
            break;
        if (centre >= from_hz * 0.9999)
            bands.push_back(
                {centre * std::pow(2.0, -1.0 / 6.0), centre * std::pow(2.0, 1.0 / 6.0), centre});
    }
    return bands;
}

// The spectrum of a response (zero-padded to MEASURE_FFT points).
inline std::vector<std::complex<double>> spectrum(const std::vector<float>& h) {
    std::vector<double> time(MEASURE_FFT, 0.0);
    std::copy(h.begin(), h.begin() + std::min<std::size_t>(h.size(), MEASURE_FFT), time.begin());
    std::vector<std::complex<double>> freq(MEASURE_FFT / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(
        MEASURE_FFT, time.data(), reinterpret_cast<fftw_complex*>(freq.data()), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    return freq;
}

// Level of each band in dB.
inline std::vector<double> band_levels(const std::vector<std::complex<double>>& s, double rate,
                                       const std::vector<Band>& bands) {
    std::vector<double> levels;
    const double bin = rate / MEASURE_FFT;
    for (const Band& b : bands) {
        double energy = 1e-30;
        for (int k = static_cast<int>(std::ceil(b.low / bin)); k * bin < b.high; ++k)
            energy += std::norm(s[static_cast<std::size_t>(k)]);
        levels.push_back(10.0 * std::log10(energy));
    }
    return levels;
}

// Seconds by which the left ear leads the right, from the cross-correlation of the ears below
// `below_hz`, searched within 1 ms and refined by a parabola through the peak.
inline double interaural_time(const std::vector<std::complex<double>>& left,
                              const std::vector<std::complex<double>>& right, double rate,
                              double below_hz = 1500.0) {
    std::vector<std::complex<double>> cross(MEASURE_FFT / 2 + 1);
    for (std::size_t k = 0; k < cross.size(); ++k)
        cross[k] = k * rate / MEASURE_FFT <= below_hz ? right[k] * std::conj(left[k]) : 0.0;
    std::vector<double> r(MEASURE_FFT);
    fftw_plan plan = fftw_plan_dft_c2r_1d(
        MEASURE_FFT, reinterpret_cast<fftw_complex*>(cross.data()), r.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    const int reach = static_cast<int>(rate * 0.001);
    int best = 0;
    auto at = [&](int lag) {
        return r[static_cast<std::size_t>((lag + MEASURE_FFT) % MEASURE_FFT)];
    };
    for (int lag = -reach; lag <= reach; ++lag)
        if (at(lag) > at(best))
            best = lag;
    const double a = at(best - 1), b = at(best), c = at(best + 1);
    const double denominator = a - 2 * b + c;
    const double offset = denominator != 0 ? 0.5 * (a - c) / denominator : 0.0;
    // A positive lag: the right ear's response comes later.
    return (best + offset) / rate;
}

} // namespace tovo::testing
