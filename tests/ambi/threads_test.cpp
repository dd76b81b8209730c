// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder, the decoder and sfplay~ take messages on one thread while their signal chain runs on
// another. Every output sample must be one that whole old and new settings give: each
// coefficient is read whole, once per vector, in any mix of before and after. make tsan runs
// these under ThreadSanitizer, which must report nothing.
#include "ambi/ambi_patch.hpp"
#include "ambi/flavours.hpp"
#include "ambi/weights.hpp"
#include "app/script.hpp"
#include "host/registry.hpp"
#include "support/patch.hpp"
#include <tovo/angles.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <numbers>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace tovo;
using namespace tovo::host;
using tovo::testing::Patch;

// --- test.tap~ N: N signal inlets whose vectors go to the check the test has set ----------------

struct Tap {
    SignalObject z;
    std::int32_t inlets;
};
Class* tap_class;

// Called on the signal thread with each vector of each inlet.
using TapCheck = void (*)(int inlet, const float* samples, long n);
TapCheck g_tap_check = nullptr;

void* tap_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Tap*>(newobject(tap_class));
    x->inlets = argc > 0 && argv[0].a_type == A_LONG ? argv[0].a_w.w_long : 1;
    z_dsp_setup(&x->z, static_cast<short>(x->inlets));
    return x;
}

std::intptr_t* tap_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Tap*>(w[1]);
    const long n = static_cast<long>(w[2]);
    for (int i = 0; i < x->inlets; ++i)
        g_tap_check(i, reinterpret_cast<const float*>(w[3 + i]), n);
    return w + 3 + x->inlets;
}

void tap_dsp(Tap* x, Signal** sp, short*) {
    std::vector<void*> args{x, reinterpret_cast<void*>(sp[0]->s_n)};
    for (int i = 0; i < x->inlets; ++i)
        args.push_back(sp[i]->s_vec);
    dsp_addv(tap_perform, static_cast<long>(args.size()), args.data());
}

int tap_main() {
    setup(&tap_class, tap_new, z_dsp_free, sizeof(Tap), 0, A_GIMME, 0);
    addmess(tap_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

void define_tap() {
    static const bool defined = (Registry::instance().define("test.tap~", tap_main), true);
    (void)defined;
}

// --- the two threads ---------------------------------------------------------------------------

std::vector<Atom> floats(std::initializer_list<double> values) {
    std::vector<Atom> atoms;
    for (double v : values) {
        Atom a{};
        atom_setfloat(&a, static_cast<float>(v));
        atoms.push_back(a);
    }
    return atoms;
}

std::vector<Atom> speaker_args(int index, double azimuth_deg, double elevation_deg) {
    std::vector<Atom> atoms = floats({0, azimuth_deg, elevation_deg});
    atom_setlong(&atoms[0], index);
    return atoms;
}

struct Message {
    Box* box; // none: a pause until the chain has run another vector
    const char* selector;
    std::vector<Atom> args;
};
const Message LET_A_VECTOR_RUN{nullptr, nullptr, {}};

// Runs the chain on a thread of its own while this one sends `rounds` times each of `messages`,
// in order; returns the vectors the chain ran. Messages go out while vectors run; the pauses
// make sure that every state a round passes through is also seen whole.
long run_threaded(Runtime& rt, const std::vector<Message>& messages, int rounds) {
    rt.prepare_signal();
    std::atomic<bool> stop{false};
    std::atomic<bool> running{true};
    std::atomic<long> vectors{0};
    std::thread signal_thread([&] {
        while (!stop.load() && rt.tick_signal())
            vectors.fetch_add(1);
        running.store(false);
    });
    auto wait_for_vectors = [&](long count) {
        while (vectors.load() < count && running.load())
            std::this_thread::yield();
    };
    wait_for_vectors(8);
    for (int r = 0; r < rounds; ++r)
        for (const Message& m : messages) {
            if (m.box)
                rt.send(m.box, gensym(m.selector), m.args);
            else
                wait_for_vectors(vectors.load() + 1);
        }
    wait_for_vectors(vectors.load() + 8);
    stop.store(true);
    signal_thread.join();
    return vectors.load();
}

// Candidate samples per inlet of the tap, sorted; the check counts samples near none of them
// and the distinct candidates seen, on the signal thread only.
struct Expectation {
    std::vector<std::vector<double>> candidates; // per inlet
    double tolerance = 0;                        // relative
    long samples = 0;
    long strays = 0;
    float first_stray = 0;
    std::vector<std::set<std::size_t>> seen; // per inlet: indices of candidates met
    std::vector<float> last;                 // per inlet: the last sample of the last vector
};
Expectation* g_expectation = nullptr;

void check_against_candidates(int inlet, const float* samples, long n) {
    Expectation& e = *g_expectation;
    const std::vector<double>& c = e.candidates[inlet];
    if (n > 0)
        e.last[inlet] = samples[n - 1];
    for (long j = 0; j < n; ++j) {
        const double v = samples[j];
        auto it = std::lower_bound(c.begin(), c.end(), v);
        std::size_t best = it == c.end() ? c.size() - 1 : static_cast<std::size_t>(it - c.begin());
        if (it != c.begin() && (it == c.end() || v - *(it - 1) < *it - v))
            best -= 1;
        ++e.samples;
        if (std::fabs(c[best] - v) > e.tolerance * std::max(1.0, std::fabs(v))) {
            if (e.strays++ == 0)
                e.first_stray = samples[j];
        } else {
            e.seen[inlet].insert(best);
        }
    }
}

void sort_unique(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// --- the encoder ------------------------------------------------------------------------------

TEST(Threads, EncoderOutputsAreWholeOldOrNewWeights) {
    define_tap();
    Patch p;
    std::string script = "new src sig~ 1\nnew enc tovo.ambi.encode~ 3d 3rd\n"
                         "new tap test.tap~ 16\nconnect src 0 enc 0\n";
    for (int c = 0; c < 16; ++c)
        script += "connect enc " + std::to_string(c) + " tap " + std::to_string(c) + "\n";
    p.run(script);
    ASSERT_EQ(p.errors(), 0);
    Box* enc = p.runtime().box("enc");

    // Directions in radians, then in degrees, with the unit switched between: the stored angles
    // take every value these conversions give.
    const float a1 = 1.2f, e1 = -0.4f, d0 = 30.0f, f0 = 50.0f;
    const std::vector<Message> messages = {
        {enc, "radians", {}},
        {enc, "azimuth", floats({a1})},
        {enc, "elevation", floats({e1})},
        LET_A_VECTOR_RUN,
        {enc, "degrees", {}},
        {enc, "azimuth", floats({d0})},
        {enc, "elevation", floats({f0})},
        LET_A_VECTOR_RUN,
    };
    auto via_degrees = [](float rad) {
        return static_cast<float>(static_cast<float>(rad / DEGREE_FACTOR) * DEGREE_FACTOR);
    };
    const float azimuths[] = {0.0f, a1, static_cast<float>(d0 * DEGREE_FACTOR), via_degrees(a1)};
    const float elevations[] = {0.0f, e1, static_cast<float>(f0 * DEGREE_FACTOR), via_degrees(e1)};

    Expectation e;
    e.candidates.resize(16);
    e.seen.resize(16);
    e.last.resize(16);
    for (float az : azimuths)
        for (float el : elevations) {
            float w[ambi::MAX_CHANNELS] = {0.70710677f};
            ambi::ambi_weights(3, 3, az, el, w);
            for (int c = 0; c < 16; ++c)
                e.candidates[c].push_back(w[c]);
        }
    for (auto& c : e.candidates)
        sort_unique(c);
    e.tolerance = 0; // input 1 times a weight is the weight itself
    g_expectation = &e;
    g_tap_check = check_against_candidates;

    const long vectors = run_threaded(p.runtime(), messages, 300);
    EXPECT_GT(vectors, 16);
    EXPECT_EQ(e.strays, 0) << "first stray sample " << e.first_stray << " of " << e.samples;
    EXPECT_GT(e.seen[1].size(), 1u) << "the X outlet never changed";
    EXPECT_EQ(e.seen[0].size(), 1u) << "W must keep its weight";
    // The vectors after the last message carry the last direction: a change the signal thread
    // saw late is never kept from it for good.
    float last[ambi::MAX_CHANNELS] = {0.70710677f};
    ambi::ambi_weights(3, 3, azimuths[2], elevations[2], last);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(e.last[c], last[c]) << "channel " << c;
}

// --- the decoder ------------------------------------------------------------------------------

TEST(Threads, DecoderFeedsMixOnlyWholeOldAndNewSettings) {
    define_tap();
    Patch p;
    p.run("new w sig~ 1\nnew x sig~ 0.5\nnew y sig~ 0.25\n"
          "new dec tovo.ambi.decode~ 4\nnew tap test.tap~ 4\n"
          "connect w 0 dec 0\nconnect x 0 dec 1\nconnect y 0 dec 2\n"
          "connect dec 0 tap 0\nconnect dec 1 tap 1\nconnect dec 2 tap 2\nconnect dec 3 tap 3");
    ASSERT_EQ(p.errors(), 0);
    Box* dec = p.runtime().box("dec");

    // Two whole states; the presets and "weights" pass through intermediate weights on the way.
    const float gains[] = {1.0f, -0.75f};
    const float widths[] = {0.5f, 0.8f};
    const double azimuth_deg[2][4] = {{-45, 45, 135, 225}, {10, 100, 190, 280}};
    const double elevation_deg[2][4] = {{0, 0, 0, 0}, {20, -15, 5, 40}};
    std::vector<Message> messages;
    for (int s = 1; s >= 0; --s) {
        messages.push_back({dec, "gain", floats({gains[s]})});
        messages.push_back({dec, "width", floats({widths[s]})});
        for (int k = 0; k < 4; ++k)
            messages.push_back(
                {dec, "speaker", speaker_args(k, azimuth_deg[s][k], elevation_deg[s][k])});
        if (s == 1) {
            messages.push_back({dec, "max-re", {}});
            messages.push_back({dec, "weights", floats({0.9, 0.6})});
        } else {
            messages.push_back({dec, "none", {}});
            messages.push_back({dec, "default", {}});
        }
        messages.push_back(LET_A_VECTOR_RUN);
    }
    // The chain starts from state 0 exactly, the end of a round.
    for (const Message& m : messages)
        if (m.box)
            p.runtime().send(m.box, gensym(m.selector), m.args);

    // Every value each stored setting takes.
    const auto& table = ambi::FLAVOUR_TABLE;
    const std::vector<double> w0 = {table[ambi::FLAVOUR_DEFAULT][0][0],
                                    table[ambi::FLAVOUR_NONE][0][0],
                                    table[ambi::FLAVOUR_MAX_RE][0][0], 0.9f};
    const std::vector<double> w1 = {table[ambi::FLAVOUR_DEFAULT][0][1],
                                    table[ambi::FLAVOUR_NONE][0][1],
                                    table[ambi::FLAVOUR_MAX_RE][0][1], 0.6f};
    const double inputs[] = {1.0, 0.5, 0.25};

    Expectation e;
    e.candidates.resize(4);
    e.seen.resize(4);
    e.last.resize(4);
    float final_feed[4];
    for (int k = 0; k < 4; ++k) {
        // Each speaker's row as the decoder stores it, in either state.
        float rows[2][ambi::MAX_CHANNELS] = {};
        for (int s = 0; s < 2; ++s)
            ambi::ambi_weights(1, 2, static_cast<float>(azimuth_deg[s][k] * DEGREE_FACTOR),
                               static_cast<float>(elevation_deg[s][k] * DEGREE_FACTOR), rows[s]);
        // Gain and width may be read apart for each coefficient: every mix is allowed.
        std::vector<float> c0, c1, c2;
        for (const double g : gains)
            for (const double b : widths) {
                for (double w : w0)
                    c0.push_back(static_cast<float>(((1.0 - b) * g) * w));
                for (const auto& row : rows)
                    for (double w : w1) {
                        c1.push_back(static_cast<float>(((b * g) * row[1]) * w));
                        c2.push_back(static_cast<float>(((b * g) * row[2]) * w));
                    }
            }
        for (float a : c0)
            for (float q1 : c1)
                for (float q2 : c2)
                    e.candidates[k].push_back(
                        std::fma(inputs[2], q2, std::fma(inputs[1], q1, inputs[0] * a)));
        sort_unique(e.candidates[k]);
        // State 0, where every round ends: gain, width and rows of state 0, default weights.
        const float in0 = 1.0f, in1 = 0.5f, in2 = 0.25f; // the sig~ values, as floats
        final_feed[k] = std::fma(in2, c2[0], std::fma(in1, c1[0], in0 * c0[0]));
    }
    e.tolerance = 1e-6; // a faster kernel may round its sum differently
    g_expectation = &e;
    g_tap_check = check_against_candidates;

    const long vectors = run_threaded(p.runtime(), messages, 300);
    EXPECT_GT(vectors, 16);
    EXPECT_EQ(e.strays, 0) << "first stray sample " << e.first_stray << " of " << e.samples;
    for (int k = 0; k < 4; ++k)
        EXPECT_GT(e.seen[k].size(), 1u) << "speaker " << k << " never changed";
    // The vectors after the last message follow the last settings: a change the signal thread
    // saw late is never kept from it for good.
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(e.last[k], final_feed[k]) << "speaker " << k;
}

// --- the rotator ------------------------------------------------------------------------------

// The field X = 0.6, Y = 0.8 of a 2-D first-order rotator, turned.
float g_turned_x[16384];
double g_radius_low = 0, g_radius_high = 0;
long g_rotated_samples = 0, g_rotation_strays = 0;

void check_turned_field(int inlet, const float* samples, long n) {
    if (inlet == 1) {
        std::copy(samples, samples + n, g_turned_x);
        return;
    }
    if (inlet != 2)
        return;
    for (long j = 0; j < n; ++j) {
        const double r = std::hypot(double{g_turned_x[j]}, double{samples[j]});
        ++g_rotated_samples;
        if (r < g_radius_low || r > g_radius_high)
            ++g_rotation_strays;
    }
}

TEST(Threads, RotatorRampsOnlyBetweenNeighbouringWholeRotations) {
    define_tap();
    Patch p;
    p.run("new w sig~ 1\nnew x sig~ 0.6\nnew y sig~ 0.8\nnew r tovo.ambi.rotate~\n"
          "new tap test.tap~ 3\nconnect w 0 r 0\nconnect x 0 r 1\nconnect y 0 r 2\n"
          "connect r 0 tap 0\nconnect r 1 tap 1\nconnect r 2 tap 2");
    ASSERT_EQ(p.errors(), 0);
    Box* r = p.runtime().box("r");

    // Turns of 0, 90 and -90 degrees, changes replacing changes the chain has not yet taken.
    const double c = std::sqrt(0.5);
    const std::vector<Message> messages = {
        {r, "quat", floats({c, 0, 0, c})},
        {r, "quat", floats({1, 0, 0, 0})},
        LET_A_VECTOR_RUN,
        {r, "quat", floats({c, 0, 0, c})},
        {r, "inverse", {}},
        LET_A_VECTOR_RUN,
        {r, "inverse", floats({1})},
        {r, "quat", floats({1, 0, 0, 0})},
        {r, "inverse", floats({0})},
        {r, "quat", floats({c, 0, 0, -c})},
        LET_A_VECTOR_RUN,
    };
    // Every sample is a blend of two rotations at most a step (5 degrees) apart: the field keeps
    // its length within the loss of such a blend. A change that started anywhere but where the
    // chain stood would blend rotations far apart, and shorten the field.
    g_radius_low = std::cos(2.5 * std::numbers::pi / 180) - 1e-6;
    g_radius_high = 1 + 1e-6;
    g_tap_check = check_turned_field;
    const long vectors = run_threaded(p.runtime(), messages, 300);
    EXPECT_GT(vectors, 16);
    EXPECT_GT(g_rotated_samples, 0);
    EXPECT_EQ(g_rotation_strays, 0) << "of " << g_rotated_samples;
}

// --- the all-round decoder ---------------------------------------------------------------------

// Each vector plays one whole matrix: every speaker of a vector follows the same layout.
struct WholeMatrices {
    std::vector<std::vector<double>> feeds; // per layout, per speaker
    int speakers = 0;
    int layout_of_vector = -1; // the layout the current vector's speakers have followed so far
    long vectors = 0, mixed = 0, strays = 0;
    std::set<int> seen;
};
WholeMatrices* g_whole = nullptr;

void check_whole_matrices(int inlet, const float* samples, long n) {
    WholeMatrices& w = *g_whole;
    for (long j = 0; j < n; ++j) {
        int layout = -1;
        for (std::size_t l = 0; l < w.feeds.size(); ++l)
            if (std::fabs(samples[j] - w.feeds[l][inlet]) <= 1e-5)
                layout = static_cast<int>(l);
        if (layout < 0) {
            ++w.strays;
            continue;
        }
        if (inlet == 0 && j == 0)
            w.layout_of_vector = layout;
        else if (layout != w.layout_of_vector)
            ++w.mixed;
        w.seen.insert(layout);
    }
    if (inlet == w.speakers - 1)
        ++w.vectors;
}

TEST(Threads, AllradTakesEachMatrixWhole) {
    define_tap();
    Patch p;
    const float levels[5] = {1.0f, 0.5f, -0.75f, 0.25f, 0.6f};
    std::string script = "new dec tovo.ambi.allrad~ 2d 2nd 5\nnew tap test.tap~ 5\n";
    for (int c = 0; c < 5; ++c) {
        const std::string n = std::to_string(c);
        script += "new c" + n + " sig~ " + std::to_string(levels[c]) + "\nconnect c" + n +
                  " 0 dec " + n + "\nconnect dec " + n + " tap " + n + "\n";
    }
    p.run(script);
    ASSERT_EQ(p.errors(), 0);
    Box* dec = p.runtime().box("dec");

    // Two rooms and two gains, sent one message at a time: any of the four pairs may play a
    // vector, and every speaker's feed differs between them.
    const std::vector<std::vector<double>> rooms = {{-30, 0, 30, 0, 0, 0, -110, 0, 110, 0},
                                                    {10, 0, 80, 0, 150, 0, -140, 0, -70, 0}};
    const double gains[] = {1.0, 0.7};
    WholeMatrices w;
    w.speakers = 5;
    std::vector<Message> messages;
    for (const std::vector<double>& room : rooms) {
        std::vector<Atom> layout;
        for (double v : room)
            layout.push_back(floats({v})[0]);
        p.runtime().send(dec, gensym("layout"), layout);
        p.run("send dec gain 1");
        std::vector<double> feeds;
        for (const std::string& line : p.run("send dec dump")) {
            if (!line.starts_with("speaker ") || line.find(':') == std::string::npos)
                continue;
            const std::vector<float> row = tovo::testing::numbers(line);
            double f = 0;
            for (int c = 0; c < 5; ++c)
                f += double{row[c]} * levels[c];
            feeds.push_back(f);
        }
        ASSERT_EQ(feeds.size(), 5u);
        for (double g : gains) {
            w.feeds.push_back(feeds);
            for (double& f : w.feeds.back())
                f *= g;
        }
        messages.push_back({dec, "layout", layout});
        messages.push_back(LET_A_VECTOR_RUN);
        messages.push_back({dec, "gain", floats({gains[1]})});
        messages.push_back({dec, "gain", floats({gains[0]})});
    }
    for (std::size_t a = 0; a < w.feeds.size(); ++a)
        for (std::size_t b = a + 1; b < w.feeds.size(); ++b)
            for (int k = 0; k < 5; ++k)
                ASSERT_GT(std::fabs(w.feeds[a][k] - w.feeds[b][k]), 1e-3) << "speaker " << k;
    g_whole = &w;
    g_tap_check = check_whole_matrices;
    run_threaded(p.runtime(), messages, 200);
    EXPECT_EQ(w.strays, 0);
    EXPECT_EQ(w.mixed, 0);
    EXPECT_GT(w.vectors, 16);
    EXPECT_GE(w.seen.size(), 2u);
}

// Console lines come from both threads, print~ on the signal side and "dump" on the message
// side, and each arrives whole.
TEST(Threads, ConsoleTakesWholeLinesFromBothSides) {
    std::vector<std::string> lines;
    Runtime rt(TOVO_EXTERNALS_DIR, [&](std::string_view line) { lines.emplace_back(line); });
    app::Script script(rt);
    int number = 0;
    for (const char* line : {"vectorsize 4", "new src sig~ 0.5", "new show print~ show",
                             "connect src 0 show 0", "new enc tovo.ambi.encode~"})
        script.run_line(line, ++number);
    ASSERT_EQ(script.errors(), 0);
    const long vectors = run_threaded(rt, {{rt.box("enc"), "dump", {}}}, 300);

    long shown = 0, dumped = 0;
    for (const std::string& line : lines) {
        if (line.starts_with("show:")) {
            ++shown;
            EXPECT_EQ(line, "show: 0.5 0.5 0.5 0.5");
        } else if (line == "--- properties of ambi.encode~:") {
            ++dumped;
        } else {
            EXPECT_TRUE(line == "2-D 1th order, outputs 3 channels" ||
                        line == "\tazimuth 0.000000 \televation 0.000000")
                << line;
        }
    }
    EXPECT_EQ(shown, vectors);
    EXPECT_EQ(dumped, 300);
}

// sfplay~ takes starts, stops and new files on the message side while it plays on the signal
// side: streams change hands whole, so every sample is one of the file's or silence.
std::atomic<long> g_silent{0}, g_played{0}, g_strays{0};

void check_played(int, const float* samples, long n) {
    for (long j = 0; j < n; ++j) {
        if (samples[j] == 0.0f)
            g_silent.fetch_add(1, std::memory_order_relaxed);
        else if (samples[j] == 0.25f)
            g_played.fetch_add(1, std::memory_order_relaxed);
        else
            g_strays.fetch_add(1, std::memory_order_relaxed);
    }
}

TEST(Threads, SoundFilePlayerChangesStreamsWholeWhilePlaying) {
    Patch p;
    define_tap();
    const std::string file = ::testing::TempDir() + "threads-sfplay.wav";
    p.run("vectorsize 16\nnew level sig~ 0.25\nnew rec sfrecord~ " + file +
          "\nconnect level 0 rec 0\nsend rec 1\ndsp 100\nfree rec\nfree level\n"
          "new play sfplay~ " +
          file + "\nnew tap test.tap~ 1\nconnect play 0 tap 0");
    ASSERT_EQ(p.errors(), 0);
    g_tap_check = check_played;
    Box* play = p.runtime().box("play");
    Atom name{};
    atom_setsym(&name, gensym(file.c_str()));
    const long vectors = run_threaded(p.runtime(),
                                      {{play, "start", {}},
                                       LET_A_VECTOR_RUN,
                                       LET_A_VECTOR_RUN,
                                       {play, "stop", {}},
                                       LET_A_VECTOR_RUN,
                                       {play, "start", {}},
                                       {play, "open", {name}},
                                       {play, "start", {}},
                                       LET_A_VECTOR_RUN},
                                      100);
    EXPECT_GT(vectors, 16);
    EXPECT_EQ(g_strays.load(), 0);
    EXPECT_GT(g_played.load(), 0);
    EXPECT_GT(g_silent.load(), 0);
    std::remove(file.c_str());
}

} // namespace
