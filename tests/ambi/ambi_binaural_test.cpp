// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.binaural~ in a patch: an impulse encoded at a direction and rendered for two ears.
// The ears follow the source's side; the impulse response is the designed filters at every
// vector size and sample rate; silence stays silent and non-finite input never reaches the
// ears; a set opened during a run changes over without losing the past; a file that is no set
// makes no box and changes no set.
#include "ambi/binaural_design.hpp"
#include "ambi/binaural_sets.hpp"
#include "ambi/hrir_set.hpp"
#include "ambi/weights.hpp"
#include "binaural_measures.hpp"
#include "host/registry.hpp"
#include "support/patch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace {

using namespace tovo;
using namespace tovo::host;
using tovo::testing::Patch;

// --- test.pulse~ VALUE: VALUE at the first sample it plays, then zeros
// ----------------------------

struct Pulse {
    SignalObject z;
    float value;
    std::int32_t played;
};
Class* pulse_class;

void* pulse_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Pulse*>(newobject(pulse_class));
    x->value = argc > 0 ? static_cast<float>(atom_to_double(argv[0])) : 1.0f;
    z_dsp_setup(&x->z, 0);
    outlet_new(x, "signal");
    return x;
}

std::intptr_t* pulse_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Pulse*>(w[1]);
    const long n = static_cast<long>(w[2]);
    auto* out = reinterpret_cast<float*>(w[3]);
    for (long i = 0; i < n; ++i)
        out[i] = 0.0f;
    if (!x->played && n > 0)
        out[0] = x->value;
    x->played = 1;
    return w + 4;
}

void pulse_dsp(Pulse* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec};
    dsp_addv(pulse_perform, 3, args);
}

// --- test.ears~: keeps what its two inlets get
// ------------------------------------------------------

struct Ears {
    SignalObject z;
};
Class* ears_class;
std::vector<float> g_left, g_right;

void* ears_new(Symbol*, short, Atom*) {
    auto* x = static_cast<Ears*>(newobject(ears_class));
    z_dsp_setup(&x->z, 2);
    return x;
}

std::intptr_t* ears_perform(std::intptr_t* w) {
    const long n = static_cast<long>(w[2]);
    const auto* l = reinterpret_cast<const float*>(w[3]);
    const auto* r = reinterpret_cast<const float*>(w[4]);
    g_left.insert(g_left.end(), l, l + n);
    g_right.insert(g_right.end(), r, r + n);
    return w + 5;
}

void ears_dsp(Ears* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec, sp[1]->s_vec};
    dsp_addv(ears_perform, 4, args);
}

int pulse_main() {
    setup(&pulse_class, pulse_new, z_dsp_free, sizeof(Pulse), 0, A_GIMME, 0);
    addmess(pulse_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

int ears_main() {
    setup(&ears_class, ears_new, z_dsp_free, sizeof(Ears), 0, A_GIMME, 0);
    addmess(ears_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

void define_helpers() {
    static const bool defined = (Registry::instance().define("test.pulse~", pulse_main),
                                 Registry::instance().define("test.ears~", ears_main), true);
    (void)defined;
}

// SOURCE -> tovo.ambi.encode~ ENCODER -> tovo.ambi.binaural~ BINAURAL -> test.ears~
struct Listener {
    explicit Listener(const std::string& source, const std::string& format = "3d 3rd",
                      const std::string& set = "", int vector_size = 64, double rate = 48000) {
        define_helpers();
        g_left.clear();
        g_right.clear();
        patch.run("vectorsize " + std::to_string(vector_size) + "\nsamplerate " +
                  std::to_string(static_cast<long>(rate)) + "\nnew src " + source +
                  "\nnew e tovo.ambi.encode~ " + format + "\nnew b tovo.ambi.binaural~ " + format +
                  " " + set +
                  "\nnew ears test.ears~\nconnect src 0 e 0\nconnect b 0 ears 0\n"
                  "connect b 1 ears 1");
        const int channels = static_cast<int>(patch.runtime().box("e")->outlets.size());
        for (int c = 0; c < channels; ++c)
            patch.run("connect e " + std::to_string(c) + " b " + std::to_string(c));
    }
    void at(double azimuth, double elevation = 0) {
        patch.run("send e azimuth " + std::to_string(azimuth) + "e0\nsend e elevation " +
                  std::to_string(elevation) + "e0");
    }
    void run(long vectors) { patch.run("dsp " + std::to_string(vectors)); }

    Patch patch;
};

double energy(const std::vector<float>& v) {
    double e = 0;
    for (float x : v)
        e += double{x} * x;
    return e;
}

std::size_t peak(const std::vector<float>& v) {
    std::size_t best = 0;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (std::fabs(v[i]) > std::fabs(v[best]))
            best = i;
    return best;
}

double band_energy(const std::vector<float>& v, double rate, double from_hz, double to_hz) {
    const auto s = tovo::testing::spectrum(v);
    double e = 0;
    for (std::size_t k = 0; k < s.size(); ++k) {
        const double f = k * rate / tovo::testing::MEASURE_FFT;
        if (f >= from_hz && f <= to_hz)
            e += std::norm(s[k]);
    }
    return e;
}

constexpr double HALF_PI = std::numbers::pi / 2;

TEST(AmbiBinaural, EachEarHearsItsOwnSide) {
    struct Side {
        double azimuth;
        const char* name;
    };
    for (const Side side : {Side{HALF_PI, "left"}, Side{-HALF_PI, "right"}}) {
        SCOPED_TRACE(side.name);
        Listener l("test.pulse~ 1");
        l.at(side.azimuth);
        l.run(24);
        ASSERT_EQ(l.patch.errors(), 0);
        const std::vector<float>& near = side.azimuth > 0 ? g_left : g_right;
        const std::vector<float>& far = side.azimuth > 0 ? g_right : g_left;
        EXPECT_GT(energy(near), 4 * energy(far));
        // The far ear hears it later: over 0.5 ms from the side, by the ears' cross-correlation.
        const double lag = tovo::testing::interaural_time(tovo::testing::spectrum(near),
                                                          tovo::testing::spectrum(far), 48000);
        EXPECT_GT(lag, 0.5e-3);
        // Between 2 and 8 kHz the head shadows the far ear by more than 10 dB.
        const double ratio_db = 10 * std::log10(band_energy(near, 48000, 2000, 8000) /
                                                band_energy(far, 48000, 2000, 8000));
        std::printf("source at the %s: the near ear %.1f dB above the far one from 2 to 8 kHz, "
                    "%.0f us earlier\n",
                    side.name, ratio_db, 1e6 * lag);
        EXPECT_GE(ratio_db, 10.0);
    }
    // Straight ahead both ears get the same, to a rounding of the transforms.
    Listener l("test.pulse~ 1");
    l.run(24);
    const float top = std::fabs(g_left[peak(g_left)]);
    ASSERT_GT(top, 0.0f);
    for (std::size_t i = 0; i < g_left.size(); ++i)
        ASSERT_NEAR(g_left[i], g_right[i], 1e-5f * top) << i;
}

// The filters of the format weighted by the harmonics of a direction.
void rendered(const ambi::BinauralFilters& f, int order, int dimension, float azimuth,
              std::vector<float>& left, std::vector<float>& right) {
    float w[ambi::MAX_CHANNELS] = {};
    ambi::ambi_weights(order, dimension, azimuth, 0.0f, w);
    w[0] = 0.70710677f;
    left.assign(static_cast<std::size_t>(f.taps), 0.0f);
    right.assign(left.size(), 0.0f);
    for (int c = 0; c < f.channels; ++c)
        for (int n = 0; n < f.taps; ++n) {
            left[n] += w[c] * f.left[static_cast<std::size_t>(c) * f.taps + n];
            right[n] += w[c] * f.right[static_cast<std::size_t>(c) * f.taps + n];
        }
}

TEST(AmbiBinaural, TheImpulseResponseIsTheDesignAtAnyVectorSizeAndRate) {
    struct Case {
        int dimension, order, vector_size;
        double rate;
    };
    for (const Case c : {Case{3, 3, 64, 48000}, Case{3, 3, 1, 48000}, Case{3, 3, 100, 48000},
                         Case{3, 3, 1024, 48000}, Case{2, 2, 64, 48000}, Case{3, 1, 32, 96000},
                         Case{3, 3, 64, 44100}}) {
        const std::string format = std::to_string(c.dimension) + "d " +
                                   (c.order == 1   ? "1st"
                                    : c.order == 2 ? "2nd"
                                                   : "3rd");
        SCOPED_TRACE(format + " at vector " + std::to_string(c.vector_size) + ", " +
                     std::to_string(c.rate));
        std::string reason;
        const auto design = ambi::binaural_design_for(
            ambi::DEFAULT_SOFA_PATH, c.rate, ambi::ambi_format(c.dimension, c.order), reason);
        ASSERT_TRUE(design) << reason;
        const ambi::BinauralFilters& f = design->filters;
        Listener l("test.pulse~ 0.5", format, "", c.vector_size, c.rate);
        l.at(0.6);
        l.run((f.taps + 200) / c.vector_size + 1);
        std::vector<float> left, right;
        rendered(f, c.order, c.dimension, 0.6f, left, right);
        for (std::size_t n = 0; n < g_left.size(); ++n) {
            const float want_l = n < left.size() ? 0.5f * left[n] : 0.0f;
            const float want_r = n < right.size() ? 0.5f * right[n] : 0.0f;
            ASSERT_NEAR(g_left[n], want_l, 2e-6) << n;
            ASSERT_NEAR(g_right[n], want_r, 2e-6) << n;
        }
        // The dump's latency is where a source in front arrives.
        EXPECT_NEAR(static_cast<double>(f.latency), static_cast<double>(peak(left)),
                    8.0 * c.rate / 48000);
    }
}

TEST(AmbiBinaural, SilenceStaysSilentAndNonFiniteInputNeverReachesTheEars) {
    Listener quiet("sig~ 0");
    quiet.patch.run("send b gain 1e30\nsend b gain -3.");
    quiet.run(20);
    for (std::size_t i = 0; i < g_left.size(); ++i)
        ASSERT_TRUE(g_left[i] == 0.0f && g_right[i] == 0.0f) << i;

    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        Listener l("test.pulse~ 1");
        Box* pulse = l.patch.runtime().box("src");
        static_cast<Pulse*>(pulse->instance)->value = bad;
        l.run(20);
        for (std::size_t i = 0; i < g_left.size(); ++i)
            ASSERT_TRUE(g_left[i] == 0.0f && g_right[i] == 0.0f) << i;
    }
}

std::string copy_of_default(const std::string& name) {
    const auto path = std::filesystem::temp_directory_path() / ("tovo-binaural-" + name);
    std::filesystem::copy_file(ambi::DEFAULT_SOFA_PATH, path,
                               std::filesystem::copy_options::overwrite_existing);
    return path.string();
}

TEST(AmbiBinaural, ASetOpenedDuringARunTakesOverWithoutLosingThePast) {
    // The same responses under another name: a new design, the same filters. Whatever the
    // handover does to the sound shows as a difference from a run without it.
    const std::string copy = copy_of_default("copy.sofa");
    Listener steady("noise~ 4");
    steady.at(1.0, 0.3);
    steady.run(40);
    const std::vector<float> want_l = g_left, want_r = g_right;

    Listener l("noise~ 4");
    l.at(1.0, 0.3);
    l.run(10);
    l.patch.run("send b open " + copy);
    l.run(10);
    // A file that is no set leaves the current one.
    const auto lines = l.patch.run("send b open /no/such/set.sofa\nsend b dump");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "error: tovo.ambi.binaural~: can't read /no/such/set.sofa: No such file "
                        "or directory");
    EXPECT_EQ(lines[3], "file: " + copy + ", 710 measurements at 44100 Hz");
    l.run(20);
    ASSERT_EQ(g_left.size(), want_l.size());
    for (std::size_t i = 0; i < want_l.size(); ++i) {
        ASSERT_NEAR(g_left[i], want_l[i], 1e-6) << i;
        ASSERT_NEAR(g_right[i], want_r[i], 1e-6) << i;
    }
    std::filesystem::remove(copy);
}

TEST(AmbiBinaural, AFileThatIsNoSetMakesNoBox) {
    Patch patch;
    const auto lines = patch.run("new b tovo.ambi.binaural~ 3d /etc/passwd");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error: tovo.ambi.binaural~: can't read /etc/passwd: not a SOFA file: "
                        "libmysofa found no HDF5 data it can read (invalid format)");
    EXPECT_EQ(lines[1], "error: line 1: tovo.ambi.binaural~: creation failed, no box made");
    EXPECT_EQ(patch.runtime().box("b"), nullptr);
}

TEST(AmbiBinaural, FiltersFollowTheChainsSampleRate) {
    Patch patch;
    patch.run("new b tovo.ambi.binaural~ 3d 3rd\ndsp 1");
    EXPECT_EQ(patch.run("send b dump")[3],
              "sample rate: 48000 Hz, filter length: 512 samples, latency: 124 samples");
    patch.run("samplerate 96000\ndsp 1");
    EXPECT_EQ(patch.run("send b dump")[3],
              "sample rate: 96000 Hz, filter length: 1024 samples, latency: 248 samples");
    EXPECT_EQ(patch.errors(), 0);
}

} // namespace
