// SPDX-License-Identifier: GPL-3.0-or-later
// The binaural filter design: the package's channels against the orthonormal harmonics, the
// design's directions and frequency grid, lifting a 2-D field, reading sets and saying why one
// cannot be read, and the accuracy of the filters on the default set at third order in 3-D
// against its measured responses.
#include "ambi/binaural_design.hpp"
#include "ambi/hrir_set.hpp"
#include "ambi/weights.hpp"
#include "binaural_measures.hpp"

#include <gtest/gtest.h>
#include <mysofa.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <string>

namespace {

using namespace tovo::ambi;
using namespace tovo::testing;

// The package's weights of a direction, W included.
std::vector<double> package_weights(const AmbiFormat& f, double azimuth, double elevation) {
    float w[MAX_CHANNELS] = {};
    ambi_weights(f.order, f.dimension, static_cast<float>(azimuth), static_cast<float>(elevation),
                 w);
    w[0] = 0.70710677f;
    return {w, w + f.channel_count};
}

TEST(BinauralBasis, PackageChannelsAreScaledOrthonormalHarmonics) {
    const AmbiFormat f = ambi_format(3, 3);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> azimuth(-std::numbers::pi, std::numbers::pi);
    std::uniform_real_distribution<double> height(-1.0, 1.0);
    for (int i = 0; i < 500; ++i) {
        const double a = azimuth(random), e = std::asin(height(random));
        const double x = std::cos(a) * std::cos(e), y = std::sin(a) * std::cos(e), z = std::sin(e);
        double n3d[16];
        n3d_harmonics(3, x, y, z, n3d);
        const std::vector<double> w = package_weights(f, a, e);
        const std::vector<double> mirrored = package_weights(f, -a, e);
        for (int c = 0; c < f.channel_count; ++c) {
            const ChannelBasis b = channel_basis(f.letters[c]);
            const double expected = b.factor / std::sqrt(2.0 * b.order + 1.0) * n3d[b.acn];
            ASSERT_NEAR(w[c], expected, 2e-6) << f.letters[c];
            ASSERT_NEAR(mirrored[c], b.antisymmetric ? -w[c] : w[c], 2e-6) << f.letters[c];
        }
    }
}

TEST(BinauralBasis, OrthonormalHarmonicsAverageToTheIdentityOverTheDesign) {
    const std::vector<double> points = dense_design(480);
    ASSERT_EQ(points.size(), 3u * 480);
    double gram[16][16] = {};
    for (std::size_t i = 0; i < 480; ++i) {
        const double* p = &points[3 * i];
        ASSERT_NEAR(p[0] * p[0] + p[1] * p[1] + p[2] * p[2], 1.0, 1e-12);
        // The second half is the first mirrored left to right.
        if (i < 240) {
            EXPECT_EQ(points[3 * (i + 240) + 1], -p[1]);
            EXPECT_EQ(points[3 * (i + 240)], p[0]);
        }
        double h[16];
        n3d_harmonics(3, p[0], p[1], p[2], h);
        for (int j = 0; j < 16; ++j)
            for (int k = 0; k < 16; ++k)
                gram[j][k] += h[j] * h[k] / 480.0;
    }
    for (int j = 0; j < 16; ++j)
        for (int k = 0; k < 16; ++k)
            EXPECT_NEAR(gram[j][k], j == k ? 1.0 : 0.0, 0.02) << j << " " << k;
}

TEST(BinauralGrid, BothRatesShareTheBinSpacing) {
    struct Case {
        double file, chain;
    };
    for (const Case c : {Case{44100, 48000}, Case{44100, 44100}, Case{48000, 96000},
                         Case{44100, 22050}, Case{44100, 8000}, Case{48000, 44101}}) {
        const DesignGrid g = design_grid(c.file, c.chain, 512);
        SCOPED_TRACE(std::to_string(c.file) + " -> " + std::to_string(c.chain));
        const double spacing = c.chain / g.fft_chain;
        EXPECT_LE(spacing, 24.0 + 1e-9);
        EXPECT_GE(g.fft_file, 1024); // twice the responses
        // Exact for whole-hertz rates with a large common divisor, within a bin otherwise.
        EXPECT_NEAR(c.file / g.fft_file, spacing, c.chain == 44101 ? spacing / g.fft_file : 1e-9);
    }
    const DesignGrid g = design_grid(44100, 48000, 512);
    EXPECT_EQ(g.fft_file * 160, g.fft_chain * 147);
}

TEST(BinauralLift, TwoDimensionalFiltersRenderHorizontalSourcesAsTheThreeDimensionalOnes) {
    std::mt19937 random(3);
    std::normal_distribution<float> noise;
    for (int order = 1; order <= 3; ++order) {
        const AmbiFormat f3 = ambi_format(3, order), f2 = ambi_format(2, order);
        BinauralFilters h3;
        h3.taps = 5;
        h3.channels = f3.channel_count;
        h3.letters.assign(f3.letters, static_cast<std::size_t>(f3.channel_count));
        for (int i = 0; i < h3.channels * h3.taps; ++i) {
            h3.left.push_back(noise(random));
            h3.right.push_back(noise(random));
        }
        const BinauralFilters h2 = lift_to_2d(h3, f2);
        ASSERT_EQ(h2.channels, f2.channel_count);
        EXPECT_EQ(h2.letters, std::string(f2.letters, static_cast<std::size_t>(f2.channel_count)));
        for (double a : {0.0, 0.7, 2.0, -2.9}) {
            const std::vector<double> w3 = package_weights(f3, a, 0.0);
            const std::vector<double> w2 = package_weights(f2, a, 0.0);
            for (int n = 0; n < h3.taps; ++n) {
                double l3 = 0, l2 = 0, r3 = 0, r2 = 0;
                for (int c = 0; c < f3.channel_count; ++c) {
                    l3 += w3[c] * h3.left[c * 5 + n];
                    r3 += w3[c] * h3.right[c * 5 + n];
                }
                for (int c = 0; c < f2.channel_count; ++c) {
                    l2 += w2[c] * h2.left[c * 5 + n];
                    r2 += w2[c] * h2.right[c * 5 + n];
                }
                EXPECT_NEAR(l2, l3, 1e-5) << "order " << order;
                EXPECT_NEAR(r2, r3, 1e-5) << "order " << order;
            }
        }
    }
}

// --- reading sets ------------------------------------------------------------------------------

std::string scratch(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("tovo-binaural-" + name)).string();
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(HrirSetReading, SaysWhyAFileIsNotASet) {
    HrirSet set;
    std::string reason;
    EXPECT_FALSE(set.open("/no/such/folder/set.sofa", reason));
    EXPECT_EQ(reason, "No such file or directory");

    EXPECT_FALSE(set.open("/tmp", reason));
    EXPECT_EQ(reason, "Is a directory");
    // A device is never read: it could keep the message side waiting.
    EXPECT_FALSE(set.open("/dev/zero", reason));
    EXPECT_EQ(reason, "not a regular file");

    const std::string text = scratch("text.sofa");
    write_file(text, "not a set\n");
    EXPECT_FALSE(set.open(text, reason));
    EXPECT_NE(reason.find("not a SOFA file"), std::string::npos) << reason;

    // A readable SOFA file of another convention.
    std::string bytes = file_text(DEFAULT_SOFA_PATH);
    const std::string name = "SimpleFreeFieldHRIR";
    ASSERT_NE(bytes.find(name), std::string::npos);
    bytes.replace(bytes.find(name), name.size(), "SimpleFreeFieldHRTF");
    const std::string other = scratch("other.sofa");
    write_file(other, bytes);
    EXPECT_FALSE(set.open(other, reason));
    EXPECT_NE(reason.find("not a set of head-related impulse responses"), std::string::npos)
        << reason;
    std::filesystem::remove(text);
    std::filesystem::remove(other);
}

TEST(HrirSetReading, MeasuredDirectionsGiveTheMeasuredResponses) {
    HrirSet set;
    std::string reason;
    ASSERT_TRUE(set.open(DEFAULT_SOFA_PATH, reason)) << reason;
    EXPECT_EQ(set.measurements(), 710);
    EXPECT_EQ(set.sample_rate(), 44100);
    EXPECT_EQ(set.length(), 512);
    // libmysofa's own way of opening a set at its rate gives the same responses.
    int length = 0, err = 0;
    MYSOFA_EASY* easy = mysofa_open(DEFAULT_SOFA_PATH, 44100, &length, &err);
    ASSERT_NE(easy, nullptr);
    ASSERT_EQ(length, 512);
    std::vector<float> l(512), r(512), l2(512), r2(512);
    for (int m : {0, 100, 355, 709}) {
        double d[3], delay_l, delay_r;
        set.direction(m, d);
        set.response(d[0], d[1], d[2], l.data(), r.data(), delay_l, delay_r);
        float dl, dr;
        const float* p = easy->hrtf->SourcePosition.values + 3 * m;
        mysofa_getfilter_float(easy, p[0], p[1], p[2], l2.data(), r2.data(), &dl, &dr);
        for (int n = 0; n < 512; ++n) {
            ASSERT_NEAR(l[n], l2[n], 1e-6);
            ASSERT_NEAR(r[n], r2[n], 1e-6);
        }
    }
    mysofa_close(easy);
}

// --- accuracy ----------------------------------------------------------------------------------

// The rendered responses of a direction: the filters weighted by the package's harmonics.
void render(const BinauralFilters& f, const AmbiFormat& format, double azimuth, double elevation,
            std::vector<float>& left, std::vector<float>& right) {
    const std::vector<double> w = package_weights(format, azimuth, elevation);
    left.assign(static_cast<std::size_t>(f.taps), 0.0f);
    right.assign(left.size(), 0.0f);
    for (int c = 0; c < f.channels; ++c)
        for (int n = 0; n < f.taps; ++n) {
            left[n] += static_cast<float>(w[c] * f.left[static_cast<std::size_t>(c) * f.taps + n]);
            right[n] +=
                static_cast<float>(w[c] * f.right[static_cast<std::size_t>(c) * f.taps + n]);
        }
}

double rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v)
        s += x * x;
    return std::sqrt(s / static_cast<double>(v.size()));
}

TEST(BinauralAccuracy, ThirdOrderFiltersFollowTheMeasuredSet) {
    const AmbiFormat format = ambi_format(3, 3);
    HrirSet set;
    std::string reason;
    ASSERT_TRUE(set.open(DEFAULT_SOFA_PATH, reason)) << reason;
    const auto start = std::chrono::steady_clock::now();
    const BinauralFilters f = design_binaural(set, 48000, format);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("design of 3-D third order at 48 kHz: %.1f ms, %d taps, latency %d, %s\n", ms,
                f.taps, f.latency, f.mirrored ? "mirrored" : "not mirrored");
    EXPECT_EQ(f.taps, 512);
    EXPECT_EQ(f.channels, 16);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(f.lengths[c], channel_basis(format.letters[c]).order <= 1 ? 512 : 256);
    EXPECT_TRUE(f.mirrored);

    // The measured responses at the chain's rate, as libmysofa resamples them.
    int length = 0, err = 0;
    MYSOFA_EASY* easy = mysofa_open(DEFAULT_SOFA_PATH, 48000, &length, &err);
    ASSERT_NE(easy, nullptr);
    const std::vector<Band> low = third_octaves(100, 5000),
                            high = third_octaves(5000 * 1.26, 10000);
    std::vector<Band> all = low;
    all.insert(all.end(), high.begin(), high.end());
    std::vector<double> level_errors, ild_errors, itd_errors;
    std::vector<std::size_t> low_index, high_index;
    std::vector<float> ml(static_cast<std::size_t>(length)), mr(ml.size()), rl, rr;
    for (int m = 0; m < set.measurements(); ++m) {
        double d[3];
        set.direction(m, d);
        const double elevation = std::asin(std::clamp(d[2], -1.0, 1.0));
        if (elevation < -40.0 * std::numbers::pi / 180.0 - 1e-6)
            continue;
        const double azimuth = std::atan2(d[1], d[0]);
        float dl, dr;
        const float* p = easy->hrtf->SourcePosition.values + 3 * m;
        mysofa_getfilter_float(easy, p[0], p[1], p[2], ml.data(), mr.data(), &dl, &dr);
        render(f, format, azimuth, elevation, rl, rr);
        const auto sml = spectrum(ml), smr = spectrum(mr), srl = spectrum(rl), srr = spectrum(rr);
        const auto lml = band_levels(sml, 48000, all), lmr = band_levels(smr, 48000, all);
        const auto lrl = band_levels(srl, 48000, all), lrr = band_levels(srr, 48000, all);
        for (std::size_t b = 0; b < all.size(); ++b) {
            (b < low.size() ? low_index : high_index).push_back(level_errors.size());
            level_errors.push_back(lrl[b] - lml[b]);
            (b < low.size() ? low_index : high_index).push_back(level_errors.size());
            level_errors.push_back(lrr[b] - lmr[b]);
            ild_errors.push_back((lrl[b] - lrr[b]) - (lml[b] - lmr[b]));
        }
        itd_errors.push_back(interaural_time(srl, srr, 48000) - interaural_time(sml, smr, 48000));
    }
    mysofa_close(easy);
    // One gain shared by every direction, ear and band is no error.
    double offset = 0;
    for (double e : level_errors)
        offset += e / static_cast<double>(level_errors.size());
    std::vector<double> low_errors, high_errors;
    for (std::size_t i : low_index)
        low_errors.push_back(level_errors[i] - offset);
    for (std::size_t i : high_index)
        high_errors.push_back(level_errors[i] - offset);
    std::printf("levels %.2f dB (0.1-5 kHz), %.2f dB (5-10 kHz), interaural level %.2f dB, "
                "interaural time %.1f us rms; gain offset %.2f dB\n",
                rms(low_errors), rms(high_errors), rms(ild_errors), 1e6 * rms(itd_errors), offset);
    EXPECT_LE(rms(low_errors), 1.5);
    EXPECT_LE(rms(high_errors), 3.0);
    EXPECT_LE(rms(ild_errors), 2.0);
    EXPECT_LE(rms(itd_errors), 100e-6);
}

} // namespace
