// SPDX-License-Identifier: GPL-3.0-or-later
// The all-round decoder as a listener judges it, on the rooms it is for: a five-speaker ring, a
// 7.1.4 room and a dome. Sources move over a grid of directions through the real encoder and
// decoder, measured as tovo-plot measures them: the energy sum of the speakers, |rE| and the
// angle between rE and the source. The sampling decoder's figures on the same rooms are the
// ones to beat.
#include "app/decoder_probe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

using tovo::app::DecoderResponse;

constexpr const char* ALLRAD = "tovo.ambi.allrad~";

struct Sample {
    double azimuth_deg, elevation_deg;
    double energy; // sum of the squared speaker gains
    double magnitude, error_deg;
};

std::string speaker_message(int k, double azimuth_deg, double elevation_deg) {
    return "speaker " + std::to_string(k) + " " + std::to_string(azimuth_deg) + " " +
           std::to_string(elevation_deg);
}

struct Room {
    std::string words;
    std::vector<std::pair<double, double>> speakers; // azimuth, elevation in degrees
    std::vector<std::string> messages() const {
        std::vector<std::string> m;
        for (std::size_t k = 0; k < speakers.size(); ++k)
            m.push_back(
                speaker_message(static_cast<int>(k), speakers[k].first, speakers[k].second));
        return m;
    }
};

// Every `step` degrees of azimuth, at each elevation from `lowest` to `highest` in steps of
// `step`.
std::vector<Sample> measure(const char* decoder, const Room& room, double step, double lowest,
                            double highest) {
    std::vector<Sample> samples;
    const int steps = static_cast<int>(std::lround(360.0 / step));
    for (double el = lowest; el <= highest + 1e-9; el += step) {
        const DecoderResponse r = tovo::app::probe_decoder(TOVO_EXTERNALS_DIR, room.words,
                                                           room.messages(), steps, el, decoder);
        EXPECT_TRUE(r.problem.empty()) << r.problem;
        EXPECT_EQ(r.speakers.size(), room.speakers.size());
        for (std::size_t i = 0; i < r.gains.size(); ++i) {
            double energy = 0;
            for (double g : r.gains[i])
                energy += g * g;
            const auto e =
                tovo::app::energy_vector(r.gains[i], r.speakers, r.source_azimuth_deg[i], el);
            samples.push_back({r.source_azimuth_deg[i], el, energy, e.magnitude, e.error_deg});
        }
    }
    return samples;
}

// Spread: largest over least energy sum in dB. Means are weighted by each direction's share of
// the sphere.
struct Figures {
    double spread_db, least_magnitude, mean_magnitude, largest_error, mean_error;
};

Figures figures_of(const std::vector<Sample>& samples,
                   const std::function<bool(const Sample&)>& in) {
    double lo = 1e300, hi = 0, least = 1, sum_m = 0, worst = 0, sum_e = 0;
    double n = 0;
    for (const Sample& s : samples) {
        if (!in(s))
            continue;
        lo = std::min(lo, s.energy);
        hi = std::max(hi, s.energy);
        least = std::min(least, s.magnitude);
        const double w = std::cos(s.elevation_deg * M_PI / 180);
        sum_m += w * s.magnitude;
        worst = std::max(worst, s.error_deg);
        sum_e += w * s.error_deg;
        n += w;
    }
    return {10 * std::log10(hi / lo), least, sum_m / n, worst, sum_e / n};
}

bool up(const Sample& s) {
    return s.elevation_deg >= 0 && s.elevation_deg <= 90;
}
bool below(const Sample& s) {
    return s.elevation_deg >= -20 && s.elevation_deg <= 0;
}
bool front(const Sample& s) {
    const double az = std::remainder(s.azimuth_deg, 360.0);
    return std::fabs(az) <= 30 && s.elevation_deg >= 0 && s.elevation_deg <= 30;
}
bool anywhere(const Sample&) {
    return true;
}

// The mean of the energy sum over every measured direction, each weighted by its share of the
// sphere (all alike on the circle).
double mean_energy(const std::vector<Sample>& samples) {
    double sum = 0, weights = 0;
    for (const Sample& s : samples) {
        const double w = std::cos(s.elevation_deg * M_PI / 180);
        sum += w * s.energy;
        weights += w;
    }
    return sum / weights;
}

const Room FIVE{"2d 2nd 5 max-rE", {{-30, 0}, {30, 0}, {0, 0}, {-110, 0}, {110, 0}}};
const Room SEVEN_ONE_FOUR{"3d 3rd 11 max-rE",
                          {{0, 0},
                           {30, 0},
                           {-30, 0},
                           {90, 0},
                           {-90, 0},
                           {135, 0},
                           {-135, 0},
                           {45, 45},
                           {-45, 45},
                           {135, 45},
                           {-135, 45}}};
Room dome() {
    Room r{"3d 3rd 16 max-rE", {}};
    for (int k = 0; k < 8; ++k)
        r.speakers.push_back({45.0 * k, 0});
    for (int k = 0; k < 6; ++k)
        r.speakers.push_back({60.0 * k, 35});
    r.speakers.push_back({0, 70});
    r.speakers.push_back({180, 70});
    return r;
}

// A: a second-order decoder on the five-speaker ring, every degree.
TEST(AllradQuality, FiveSpeakers) {
    const auto a = measure(ALLRAD, FIVE, 1, 0, 0);
    const Figures all = figures_of(a, anywhere);
    EXPECT_LE(all.spread_db, 5.5);
    EXPECT_GE(all.least_magnitude, 0.25);
    EXPECT_LE(all.largest_error, 40);
    EXPECT_LE(all.mean_error, 14);
    EXPECT_LE(figures_of(a, front).largest_error, 10);
    EXPECT_NEAR(10 * std::log10(mean_energy(a)), 0, 0.2);
}

// B: third order in a 7.1.4 room, every 2 degrees over the sphere.
TEST(AllradQuality, SevenOneFour) {
    const auto s = measure(ALLRAD, SEVEN_ONE_FOUR, 2, -90, 90);
    const Figures u = figures_of(s, up), b = figures_of(s, below);
    EXPECT_LE(u.spread_db, 3.5);
    EXPECT_LE(b.spread_db, 4.5);
    EXPECT_GE(u.mean_magnitude, 0.79);
    EXPECT_GE(u.least_magnitude, 0.62);
    EXPECT_LE(u.largest_error, 21);
    EXPECT_LE(u.mean_error, 6.3);
    EXPECT_LE(figures_of(s, front).largest_error, 9);
    EXPECT_LE(b.largest_error, 31);
    EXPECT_NEAR(10 * std::log10(mean_energy(s)), 0, 0.2);
}

// C: third order on a sixteen-speaker dome with nothing below ear level.
TEST(AllradQuality, Dome) {
    const auto s = measure(ALLRAD, dome(), 2, -90, 90);
    const Figures u = figures_of(s, up), b = figures_of(s, below);
    EXPECT_GE(u.mean_magnitude, 0.81);
    EXPECT_GE(u.least_magnitude, 0.76);
    EXPECT_LE(u.largest_error, 10.5);
    EXPECT_LE(u.mean_error, 4);
    EXPECT_LE(b.spread_db, 1.2);
    EXPECT_LE(b.largest_error, 25.5);
    EXPECT_NEAR(10 * std::log10(mean_energy(s)), 0, 0.2);
}

// A regular ring of eight at third order: even loudness, no direction error to speak of.
TEST(AllradQuality, RegularRing) {
    Room ring{"2d 3rd 8 max-rE", {}};
    for (int k = 0; k < 8; ++k)
        ring.speakers.push_back({45.0 * k - 22.5, 0});
    const auto s = measure(ALLRAD, ring, 1, 0, 0);
    const Figures f = figures_of(s, anywhere);
    EXPECT_LE(f.spread_db, 0.5);
    EXPECT_LE(f.largest_error, 2);
    EXPECT_NEAR(10 * std::log10(mean_energy(s)), 0, 0.2);
}

} // namespace
