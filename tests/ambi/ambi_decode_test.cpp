// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.decode~ in a patch: creation arguments, the speaker layout and its messages, gain,
// width, presets and weights as "dump" reports them, assist texts, and its feeds against the
// decoding law with every channel driven by sig~.
#include "ambi/flavours.hpp"
#include "ambi/weights.hpp"

#include "ambi_patch.hpp"
#include "decoding_law.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tovo::testing;
using Lines = std::vector<std::string>;

struct Decoder {
    explicit Decoder(const std::string& args) {
        made = patch.run("new d tovo.ambi.decode~ " + args);
    }
    Lines send(const std::string& message) { return patch.run("send d " + message); }
    int inlets() const { return patch.inlets("d"); }
    int outlets() const { return patch.outlets("d"); }
    // The "flavour weights per order" line of the report.
    std::string order_line() { return send("dump").back(); }
    // The channel table of "dump 1", without its heading.
    Lines channel_table() {
        Lines all = send("dump 1");
        auto heading = std::find(all.begin(), all.end(), "channel: \t weight:");
        return {heading + 1, all.end()};
    }

    Patch patch;
    Lines made; // what creation printed
};

const std::string WARNING = "WARNING [ambi.decode~]: at least ";
const std::string RECOMMENDED = " speakers are recommended for this order";

TEST(AmbiDecode, DefaultInstance) {
    Decoder d("");
    EXPECT_EQ(d.made, Lines{WARNING + "3" + RECOMMENDED});
    EXPECT_EQ(d.inlets(), 3);
    EXPECT_EQ(d.outlets(), 2);
    EXPECT_EQ(
        d.send("dump"),
        (Lines{"--- properties of ambi.decode~:", "2-D 1th order, from 3 channels to 2 speakers",
               "gain: 1.000000, width: 0.500000", "speaker\t\tazimuth\t\televation (degrees):",
               "0\t\t\t-90.000003\t\t0.000000", "1\t\t\t90.000003\t\t0.000000",
               "flavour weights per order: 0=0.707000, 1=1.000000, 2=0.000000, 3=0.000000"}));
    EXPECT_EQ(d.channel_table(), (Lines{"W \t 0.707000", "X \t 1.000000", "Y \t 1.000000"}));
}

TEST(AmbiDecode, FormatAndSpeakerCountFromCreationWords) {
    struct Case {
        const char* args;
        int inlets, outlets;
        const char* warning; // recommended count, or "" for none
    };
    for (const Case& c :
         {Case{"3d 3rd 8", 16, 8, "16"}, Case{"3d 2nd 9", 9, 9, ""}, Case{"0", 3, 1, "3"},
          Case{"-4", 3, 1, "3"}, Case{"40", 3, 32, ""}, Case{"4 6", 3, 6, ""},
          Case{"8.", 3, 2, "3"}, Case{"2D 3rd 7", 7, 7, ""},
          Case{"3D 1st-order 2nd-order 4", 9, 4, "9"}, Case{"foo 3 bar", 3, 3, ""}}) {
        Decoder d(c.args);
        SCOPED_TRACE(c.args);
        EXPECT_EQ(d.inlets(), c.inlets);
        EXPECT_EQ(d.outlets(), c.outlets);
        EXPECT_EQ(d.made, *c.warning ? Lines{WARNING + c.warning + RECOMMENDED} : Lines{});
    }
}

TEST(AmbiDecode, DefaultRingsStartHalfASpacingBelowZero) {
    Decoder three("3");
    EXPECT_EQ(three.send("dump").at(4), "0\t\t\t-60.000002\t\t0.000000");
    Decoder four("4");
    const Lines dump = four.send("dump");
    EXPECT_EQ(dump.at(7), "3\t\t\t224.999996\t\t0.000000"); // not wrapped
    Decoder one("1");
    EXPECT_EQ(one.send("dump").at(4), "0\t\t\t-180.000005\t\t0.000000");
    Decoder eight("3d 8");
    const Lines ring = eight.send("dump");
    const double nominal[] = {-22.5, 22.5, 67.5, 112.5, 157.5, 202.5, 247.5, 292.5};
    for (int k = 0; k < 8; ++k) {
        float index, azimuth, elevation;
        ASSERT_EQ(std::sscanf(ring.at(4 + k).c_str(), "%f %f %f", &index, &azimuth, &elevation), 3);
        EXPECT_NEAR(azimuth, nominal[k], 1e-4);
        EXPECT_EQ(elevation, 0.0f);
    }
}

TEST(AmbiDecode, FloatRunsAndWords) {
    // A float is a weight, never a speaker count.
    EXPECT_EQ(Decoder("8.").order_line(),
              "flavour weights per order: 0=8.000000, 1=1.000000, 2=0.000000, 3=0.000000");
    // A word reloads the flavour's weights, so floats before it do not last...
    EXPECT_EQ(Decoder("1. 0.5 3d").order_line(),
              "flavour weights per order: 0=0.707000, 1=1.000000, 2=0.000000, 3=0.000000");
    // ...but floats after the last word do, and reach the channels.
    Decoder after("3d 1. 0.5");
    EXPECT_EQ(after.order_line(),
              "flavour weights per order: 0=1.000000, 1=0.500000, 2=0.000000, 3=0.000000");
    EXPECT_EQ(after.channel_table(),
              (Lines{"W \t 1.000000", "X \t 0.500000", "Y \t 0.500000", "Z \t 0.500000"}));
    // A fifth float in a row starts again at order 0; an integer ends a run.
    EXPECT_EQ(Decoder("3rd 1. 2. 3. 4. 5. 6.").order_line(),
              "flavour weights per order: 0=5.000000, 1=6.000000, 2=3.000000, 3=4.000000");
    EXPECT_EQ(Decoder("3rd 1. 2. 5 3.").order_line(),
              "flavour weights per order: 0=3.000000, 1=2.000000, 2=0.500000, 3=0.300000");
    // Unknown words apply the settings too.
    EXPECT_EQ(Decoder("1. foo").order_line(),
              "flavour weights per order: 0=0.707000, 1=1.000000, 2=0.000000, 3=0.000000");
}

TEST(AmbiDecode, FlavourWords) {
    const std::string in_phase = "flavour weights per order: 0=1.000000, 1=0.333000, 2=0.000000, "
                                 "3=0.000000";
    const std::string max_re = "flavour weights per order: 0=1.000000, 1=0.577000, 2=0.000000, "
                               "3=0.000000";
    const std::string preset = "flavour weights per order: 0=0.707000, 1=1.000000, 2=0.000000, "
                               "3=0.000000";
    EXPECT_EQ(Decoder("In-phase").order_line(), in_phase);
    EXPECT_EQ(Decoder("in-phase").order_line(), in_phase);
    EXPECT_EQ(Decoder("inphase").order_line(), preset); // a message, not a creation word
    for (const char* word : {"max-rE", "Max-rE", "max-re", "Max-re"})
        EXPECT_EQ(Decoder(word).order_line(), max_re) << word;
    EXPECT_EQ(Decoder("MAX-RE").order_line(), preset);
    EXPECT_EQ(Decoder("None").order_line(),
              "flavour weights per order: 0=1.000000, 1=1.000000, 2=0.000000, 3=0.000000");
    // The order and the flavour meet whatever their sequence.
    EXPECT_EQ(Decoder("max-rE 3rd").order_line(),
              "flavour weights per order: 0=1.000000, 1=0.861000, 2=0.612000, 3=0.305000");
    EXPECT_EQ(Decoder("in-phase 2nd default").order_line(),
              "flavour weights per order: 0=0.707000, 1=0.750000, 2=0.500000, 3=0.000000");
}

TEST(AmbiDecode, PresetMessagesAtEveryOrder) {
    const char* expected[4][3] = {
        {"1.000000, 1=1.000000, 2=0.000000, 3=0.000000",
         "1.000000, 1=1.000000, 2=1.000000, 3=0.000000",
         "1.000000, 1=1.000000, 2=1.000000, 3=1.000000"},
        {"0.707000, 1=1.000000, 2=0.000000, 3=0.000000",
         "0.707000, 1=0.750000, 2=0.500000, 3=0.000000",
         "0.707000, 1=0.750000, 2=0.500000, 3=0.300000"},
        {"1.000000, 1=0.333000, 2=0.000000, 3=0.000000",
         "1.000000, 1=0.500000, 2=0.100000, 3=0.000000",
         "1.000000, 1=0.600000, 2=0.200000, 3=0.029000"},
        {"1.000000, 1=0.577000, 2=0.000000, 3=0.000000",
         "1.000000, 1=0.775000, 2=0.400000, 3=0.000000",
         "1.000000, 1=0.861000, 2=0.612000, 3=0.305000"},
    };
    const char* messages[4][2] = {
        {"none", "none"}, {"default", "default"}, {"in-phase", "inphase"}, {"max-re", "max-rE"}};
    const char* orders[3] = {"1st", "2nd", "3rd"};
    for (const char* dimension : {"2d", "3d"})
        for (int order = 0; order < 3; ++order)
            for (int flavour = 0; flavour < 4; ++flavour)
                for (const char* message : messages[flavour]) {
                    Decoder d(std::string(dimension) + " " + orders[order] + " 3. 3. 3. 3.");
                    SCOPED_TRACE(std::string(dimension) + " " + orders[order] + " " + message);
                    EXPECT_TRUE(d.send(message).empty());
                    EXPECT_EQ(d.order_line(), std::string("flavour weights per order: 0=") +
                                                  expected[flavour][order]);
                }
    Decoder d("3d 3rd 16");
    d.send("in-phase");
    const std::string a = "0.600000", b = "0.200000", c = "0.029000";
    const std::string letters = "WXYUVPQZSTRNOLMK";
    const std::string weights[16] = {"1.000000", a, a, b, b, c, c, a, b, b, b, c, c, c, c, c};
    const Lines table = d.channel_table();
    ASSERT_EQ(table.size(), 16u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(table[i], std::string(1, letters[i]) + " \t " + weights[i]);
}

TEST(AmbiDecode, WeightsByPosition) {
    Decoder d("3d 3rd 16");
    d.send("weights 1 0.5");
    EXPECT_EQ(d.order_line(),
              "flavour weights per order: 0=0.707000, 1=0.500000, 2=0.500000, 3=0.300000");
    d.send("weights");
    d.send("weights foo 2 0.25 0.125 9. 9.");
    EXPECT_EQ(d.order_line(),
              "flavour weights per order: 0=0.707000, 1=0.500000, 2=0.250000, 3=0.125000");
    EXPECT_EQ(d.channel_table().at(15), "K \t 0.125000");
    d.send("weights 4. 3. 2. 1. 0.");
    EXPECT_EQ(d.order_line(),
              "flavour weights per order: 0=4.000000, 1=3.000000, 2=2.000000, 3=1.000000");
    d.send("max-re"); // a preset replaces hand-set weights
    EXPECT_EQ(d.order_line(),
              "flavour weights per order: 0=1.000000, 1=0.861000, 2=0.612000, 3=0.305000");
}

TEST(AmbiDecode, SpeakerMessages) {
    Decoder d("");
    EXPECT_TRUE(d.send("speaker 1 90 45").empty());
    EXPECT_EQ(d.patch.run("assist d out 1"), Lines{"speaker 1 at 90.000003, 45.000001 (signal)"});
    EXPECT_EQ(d.send("speaker 2 90 45"), Lines{"error: invalid speaker number: 2"});
    EXPECT_EQ(d.send("speaker_radians -1 1. 1."), Lines{"error: invalid speaker number: -1"});
    EXPECT_TRUE(d.send("speaker_radians 0 3.1415927 -0.5").empty());
    EXPECT_EQ(d.patch.run("assist d out 0"), Lines{"speaker 0 at 180.000005, -28.647890 (signal)"});
    const Lines dump = d.send("dump");
    EXPECT_EQ(dump.at(4), "0\t\t\t180.000005\t\t-28.647890");
    EXPECT_EQ(dump.at(5), "1\t\t\t90.000003\t\t45.000001");
    EXPECT_EQ(d.patch.run("assist d in 0\nassist d in 2"),
              (Lines{"encoded output, channel W (signal)", "encoded output, channel Y (signal)"}));
}

TEST(AmbiDecode, GainAndWidth) {
    Decoder d("");
    const auto gain_line = [&] { return d.send("dump").at(2); };
    d.send("width 1.5");
    EXPECT_EQ(gain_line(), "gain: 1.000000, width: 1.000000");
    d.send("width -0.2");
    EXPECT_EQ(gain_line(), "gain: 1.000000, width: 0.000000");
    d.send("width 0.25");
    d.send("gain -1");
    EXPECT_EQ(gain_line(), "gain: -1.000000, width: 0.250000");
}

// A decoder whose every inlet is driven by a constant, each outlet printed as sK.
struct DrivenDecoder : Decoder {
    DrivenDecoder(const std::string& args, const std::vector<float>& inputs) : Decoder(args) {
        std::string script = "vectorsize 3\n";
        for (std::size_t c = 0; c < inputs.size(); ++c) {
            const std::string name = "in" + std::to_string(c);
            script += "new " + name + " sig~ " + float_text(inputs[c]) + "\nconnect " + name +
                      " 0 d " + std::to_string(c) + "\n";
        }
        patch.run(script + print_each_outlet("d", outlets(), "s"));
    }
    std::vector<float> feeds() {
        std::vector<float> first;
        for (const auto& v : vectors_of(patch.run("dsp 1"), "s", outlets())) {
            EXPECT_EQ(v.size(), 3u);
            EXPECT_TRUE(v.size() == 3 && v[0] == v[1] && v[1] == v[2]);
            first.push_back(v.at(0));
        }
        return first;
    }
};

TEST(AmbiDecode, CoefficientsOfTheDefaultInstance) {
    DrivenDecoder w("", {1.0f, 0.0f, 0.0f});
    EXPECT_EQ(w.feeds(), (std::vector<float>{0.3535f, 0.3535f}));
    DrivenDecoder y("", {0.0f, 0.0f, 1.0f});
    EXPECT_EQ(y.feeds(), (std::vector<float>{-0.5f, 0.5f}));
    DrivenDecoder x("", {0.0f, 1.0f, 0.0f});
    const auto feeds = x.feeds(); // the cosine of a single-precision -pi/2 is not 0
    EXPECT_FLOAT_EQ(feeds[0], -2.1855694e-8f);
    EXPECT_EQ(feeds[0], feeds[1]);

    w.send("width 0.");
    EXPECT_EQ(w.feeds(), (std::vector<float>{0.707f, 0.707f}));
    w.send("gain 2.");
    EXPECT_EQ(w.feeds(), (std::vector<float>{1.414f, 1.414f}));
    w.send("width 1.");
    EXPECT_EQ(w.feeds(), (std::vector<float>{0.0f, 0.0f}));
}

TEST(AmbiDecode, FeedsFollowTheLawForRandomSettings) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> angle(-3.2f, 3.2f), unit(-1.0f, 1.0f);
    const char* dimensions[] = {"2d", "3d"};
    const char* orders[] = {"1st", "2nd", "3rd"};
    const std::string letters = "WXYUVPQZSTRNOLMK";
    const int letter_order[] = {0, 1, 1, 2, 2, 3, 3, 1, 2, 2, 2, 3, 3, 3, 3, 3};
    for (int trial = 0; trial < 12; ++trial) {
        const tovo::ambi::AmbiFormat f =
            tovo::ambi::ambi_format(2 + trial % 2, 1 + (trial / 2) % 3);
        const int speakers = 1 + static_cast<int>(rng() % 12);
        std::vector<float> inputs;
        for (int c = 0; c < f.channel_count; ++c)
            inputs.push_back(unit(rng));
        DrivenDecoder d(std::string(dimensions[f.dimension - 2]) + " " + orders[f.order - 1] + " " +
                            std::to_string(speakers),
                        inputs);
        SCOPED_TRACE("trial " + std::to_string(trial));

        DecoderSettings s{f.channel_count, unit(rng) * 3.0f, (unit(rng) + 1.0f) / 2.0f, {}};
        float order_weights[4];
        std::string weights = "weights";
        for (float& w : order_weights) {
            w = unit(rng) + 1.0f;
            weights += " ";
            weights += float_text(w);
        }
        for (int c = 0; c < f.channel_count; ++c)
            s.channel_weights.push_back(order_weights[letter_order[letters.find(f.letters[c])]]);
        d.send(weights);
        d.send("gain " + float_text(s.gain));
        d.send("width " + float_text(s.width));

        std::vector<std::vector<float>> rows;
        for (int k = 0; k < speakers; ++k) {
            const float azimuth = angle(rng), elevation = angle(rng) / 2.0f;
            d.send("speaker_radians " + std::to_string(k) + " " + float_text(azimuth) + " " +
                   float_text(elevation));
            rows.emplace_back(16, 0.0f);
            tovo::ambi::ambi_weights(f.order, f.dimension, azimuth, elevation, rows.back().data());
        }
        std::vector<std::vector<float>> in;
        for (float v : inputs)
            in.push_back({v});
        const auto feeds = d.feeds();
        for (int k = 0; k < speakers; ++k)
            EXPECT_EQ(feeds[k], law_sample(s, rows[k].data(), in, 0)) << "speaker " << k;
    }
}

// The decoder keeps its coefficients between vectors and forms them again after a change: every
// vector must follow the law of the settings as they stand, whether they change before every
// vector, every few vectors or never, one message or several at a time, and whatever the inputs
// do meanwhile.
TEST(AmbiDecode, EveryVectorFollowsTheSettingsAsTheyStand) {
    namespace ambi = tovo::ambi;
    constexpr int N = 13; // samples per vector
    constexpr int VECTORS = 40;
    const char* flavours[] = {"none", "default", "in-phase", "max-rE"};
    for (int period : {1, 3, 7, 0}) { // vectors between changes; 0: never
        SCOPED_TRACE("a change every " + std::to_string(period) + " vectors");
        std::mt19937 rng(99 + period);
        std::uniform_real_distribution<float> angle(-3.2f, 3.2f), unit(-1.0f, 1.0f);
        const ambi::AmbiFormat f = ambi::ambi_format(3, 2 + period % 2);
        const int speakers = 5 + period;
        Decoder d((f.order == 2 ? "3d 2nd " : "3d 3rd ") + std::to_string(speakers));
        std::string script = "vectorsize " + std::to_string(N) + "\n";
        for (int c = 0; c < f.channel_count; ++c)
            script += "new in" + std::to_string(c) + " sig~ 0\nconnect in" + std::to_string(c) +
                      " 0 d " + std::to_string(c) + "\n";
        d.patch.run(script + print_each_outlet("d", speakers, "s"));

        // The decoder's settings as the law takes them.
        DecoderSettings s{f.channel_count, 1.0f, 0.5f, std::vector<float>(16)};
        float order_weights[4];
        ambi::decoder_apply_flavour(f, ambi::FLAVOUR_DEFAULT, order_weights,
                                    s.channel_weights.data());
        std::vector<std::vector<float>> rows(static_cast<std::size_t>(speakers),
                                             std::vector<float>(16));
        for (int k = 0; k < speakers; ++k)
            ambi::ambi_weights(f.order, 3,
                               static_cast<float>((k - 0.5) * 2.0 * 3.14159265359 / speakers), 0.0f,
                               rows[k].data());

        auto change = [&] {
            switch (rng() % 5) {
            case 0:
                s.gain = unit(rng) * 2.0f;
                d.send("gain " + float_text(s.gain));
                break;
            case 1:
                s.width = (unit(rng) + 1.0f) / 2.0f;
                d.send("width " + float_text(s.width));
                break;
            case 2: {
                const int k = static_cast<int>(rng() % speakers);
                const float azimuth = angle(rng), elevation = angle(rng) / 2.0f;
                d.send("speaker_radians " + std::to_string(k) + " " + float_text(azimuth) + " " +
                       float_text(elevation));
                ambi::ambi_weights(f.order, 3, azimuth, elevation, rows[k].data());
                break;
            }
            case 3: {
                std::string message = "weights";
                for (float& w : order_weights) {
                    w = unit(rng) + 1.0f;
                    message += " " + float_text(w);
                }
                d.send(message);
                ambi::decoder_update_channel_weights(f, order_weights, s.channel_weights.data());
                break;
            }
            default: {
                const int flavour = static_cast<int>(rng() % 4);
                d.send(flavours[flavour]);
                ambi::decoder_apply_flavour(f, flavour, order_weights, s.channel_weights.data());
            }
            }
        };
        std::vector<std::vector<float>> in(static_cast<std::size_t>(f.channel_count),
                                           std::vector<float>(1));
        for (int v = 0; v < VECTORS; ++v) {
            if (period && v % period == 0)
                for (int m = 1 + static_cast<int>(rng() % 3); m > 0; --m)
                    change();
            // New inputs every vector, so a stale coefficient cannot hide behind an old sample.
            std::string inputs;
            for (int c = 0; c < f.channel_count; ++c) {
                in[c][0] = unit(rng);
                inputs += "send in" + std::to_string(c) + " " + float_text(in[c][0]) + "\n";
            }
            d.patch.run(inputs);
            const auto feeds = vectors_of(d.patch.run("dsp 1"), "s", speakers);
            for (int k = 0; k < speakers; ++k) {
                const float expected = law_sample(s, rows[k].data(), in, 0);
                ASSERT_EQ(feeds[k], std::vector<float>(N, expected))
                    << "vector " << v << ", speaker " << k;
            }
        }
    }
}

TEST(AmbiDecode, ManyDspStartsAndFreeLeaveNothingBehind) {
    DrivenDecoder d("3d 3rd 32", std::vector<float>(16, 0.25f));
    for (int i = 0; i < 5; ++i)
        d.patch.run("vectorsize " + std::to_string(1 + i) + "\ndsp 1");
    d.patch.run("free d\ndsp 1");
    EXPECT_EQ(d.patch.errors(), 0);
}

} // namespace
