// SPDX-License-Identifier: GPL-3.0-or-later
// The all-round decoder as a listener judges it, on the rooms it is for: a five-speaker ring, a
// 7.1.4 room and a dome. Sources move over a grid of directions through the real encoder and
// decoder, measured as tovo-plot measures them: the energy sum of the speakers, |rE| and the
// angle between rE and the source. The sampling decoder's figures on the same rooms are the
// ones to beat.
#include "ambi/ambi_patch.hpp"
#include "app/decoder_probe.hpp"
#include "host/runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
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

// --- the object in a patch --------------------------------------------------------------------

using tovo::testing::Patch;

// The dump's matrix rows, "speaker K: ..." lines.
std::vector<std::string> matrix_rows(const std::vector<std::string>& lines) {
    std::vector<std::string> rows;
    for (const std::string& line : lines)
        if (line.starts_with("speaker ") && line.find(':') != std::string::npos)
            rows.push_back(line);
    return rows;
}

std::string layout_message(const Room& room) {
    std::string m = "layout";
    for (const auto& [az, el] : room.speakers)
        ((m += ' ') += std::to_string(az) += ' ') += std::to_string(el);
    return m;
}

TEST(AllradObject, LayoutAndSpeakerMessagesGiveTheSameMatrix) {
    Patch p;
    p.run("new a tovo.ambi.allrad~ " + SEVEN_ONE_FOUR.words + "\nnew b tovo.ambi.allrad~ " +
          SEVEN_ONE_FOUR.words);
    // One message, or one speaker at a time through the flat ring it starts as: no error
    // either way.
    EXPECT_TRUE(p.run("send a " + layout_message(SEVEN_ONE_FOUR)).empty());
    for (const std::string& m : SEVEN_ONE_FOUR.messages())
        EXPECT_TRUE(p.run("send b " + m).empty()) << m;
    const auto a = p.run("send a dump"), b = p.run("send b dump");
    EXPECT_EQ(a, b);
    EXPECT_EQ(matrix_rows(a).size(), 11u);
    EXPECT_NE(std::find(a.begin(), a.end(), "imaginary speakers: 1"), a.end());
}

// Each feed is the dump's row times the channels, by the sampling decoder's matrix kernel; the
// outlets past a shorter layout are silent.
TEST(AllradObject, FeedsAreTheMatrixTimesTheChannels) {
    Patch p;
    std::string script = "vectorsize 4\nnew dec tovo.ambi.allrad~ 2d 2nd 7\n";
    const float levels[5] = {0.5f, -0.25f, 1.0f, 0.125f, -2.0f};
    for (int c = 0; c < 5; ++c)
        script += "new c" + std::to_string(c) + " sig~ " + tovo::testing::float_text(levels[c]) +
                  "\nconnect c" + std::to_string(c) + " 0 dec " + std::to_string(c) + "\n";
    script += tovo::testing::print_each_outlet("dec", 7, "s");
    p.run(script);
    p.run("send dec layout -30 0 30 0 0 0 -110 0 110 0\nsend dec gain 0.5");
    const auto rows = matrix_rows(p.run("send dec dump"));
    ASSERT_EQ(rows.size(), 5u);
    const auto feeds = tovo::testing::vectors_of(p.run("dsp 1"), "s", 7);
    for (int k = 0; k < 7; ++k) {
        ASSERT_EQ(feeds[k].size(), 4u);
        double expected = 0;
        if (k < 5) {
            const std::vector<float> row = tovo::testing::numbers(rows[k]);
            ASSERT_EQ(row.size(), 5u);
            for (int c = 0; c < 5; ++c)
                expected += double{row[c]} * levels[c];
        }
        for (float v : feeds[k])
            EXPECT_NEAR(v, expected, 1e-6) << "speaker " << k;
    }
}

TEST(AllradObject, BadLayoutsSayWhyAndPlayTheSamplingMatrix) {
    Patch p;
    p.run("new dec tovo.ambi.allrad~ 3d 3rd 11");
    const std::string fallback = "; playing the sampling decoder's matrix";
    EXPECT_EQ(p.line("send dec layout 0 0 90 30"),
              "error: ambi.allrad~: 2 speakers in 3-D, at least 3 are needed" + fallback);
    EXPECT_EQ(p.line("send dec layout 0 0 120 0 240 0 60 0"),
              "error: ambi.allrad~: all speakers stand in one plane through the listener" +
                  fallback);
    EXPECT_EQ(p.line("send dec layout -30 -20 30 -20 -30 20 30 20"),
              "error: ambi.allrad~: the speakers leave the listener outside their hull" + fallback);
    // From a good layout, one speaker moved onto another: said once, when it happens.
    EXPECT_TRUE(p.run("send dec " + layout_message(SEVEN_ONE_FOUR)).empty());
    EXPECT_EQ(p.line("send dec speaker 2 30 0"),
              "error: ambi.allrad~: speakers 1 and 2 stand in the same direction" + fallback);
    const auto dump = p.run("send dec dump");
    EXPECT_NE(std::find(dump.begin(), dump.end(),
                        "design: the sampling decoder's matrix (speakers 1 and 2 stand in the "
                        "same direction)"),
              dump.end());
    for (const std::string& row : matrix_rows(dump))
        for (float v : tovo::testing::numbers(row))
            EXPECT_TRUE(std::isfinite(v)) << row;
    EXPECT_TRUE(p.run("send dec speaker 2 -30 0").empty());
    // Input the layout cannot take changes nothing.
    EXPECT_EQ(p.line("send dec layout 0 0 30"),
              "error: ambi.allrad~: layout takes an azimuth and an elevation for each speaker");
    std::string twelve = "send dec layout";
    for (int k = 0; k < 12; ++k)
        ((twelve += ' ') += std::to_string(30 * k) += ' ') += std::to_string(k % 2 * 40);
    EXPECT_EQ(p.line(twelve), "error: ambi.allrad~: layout of 12 speakers for 11 outlets");
    EXPECT_EQ(p.line("send dec speaker 11 0 0"), "error: invalid speaker number: 11");

    EXPECT_EQ(p.run("send dec dump"), p.run("send dec dump"));
    EXPECT_EQ(matrix_rows(p.run("send dec dump")).size(), 11u);
}

// A direction that is not a number (no script can write one) would reach the hull: refused.
TEST(AllradObject, DirectionsThatAreNotNumbersChangeNothing) {
    using namespace tovo::host;
    std::vector<std::string> lines;
    Runtime rt(TOVO_EXTERNALS_DIR, [&](std::string_view line) { lines.emplace_back(line); });
    CurrentRuntime here(&rt);
    std::string why;
    std::vector<Atom> words(2);
    atom_setsym(&words[0], gensym("3d"));
    atom_setlong(&words[1], 11);
    Box* dec = rt.create("dec", ALLRAD, words, why);
    ASSERT_NE(dec, nullptr) << why;
    std::vector<Atom> layout;
    for (const auto& [az, el] : SEVEN_ONE_FOUR.speakers) {
        layout.emplace_back();
        atom_setfloat(&layout.back(), static_cast<float>(az));
        layout.emplace_back();
        atom_setfloat(&layout.back(), static_cast<float>(el));
    }
    rt.send(dec, gensym("layout"), layout);
    rt.send(dec, gensym("dump"), {});
    const std::vector<std::string> before = lines;
    lines.clear();

    std::vector<Atom> nan_direction(3);
    atom_setlong(&nan_direction[0], 3);
    atom_setfloat(&nan_direction[1], std::nanf(""));
    atom_setfloat(&nan_direction[2], 0.0f);
    rt.send(dec, gensym("speaker_radians"), nan_direction);
    layout[5].a_w.w_float = std::numeric_limits<float>::infinity();
    rt.send(dec, gensym("layout"), layout);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error: ambi.allrad~: speaker 3: the direction is not a finite number");
    EXPECT_EQ(lines[1], "error: ambi.allrad~: speaker 2: the direction is not a finite number");
    lines.clear();
    rt.send(dec, gensym("dump"), {});
    EXPECT_EQ(lines, before);
}

} // namespace
