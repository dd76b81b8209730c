// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.encode~ in a patch: creation words, direction messages and units, read from its
// outlets through print~, and its console and assist texts.
#include "ambi/weights.hpp"

#include "ambi_patch.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace tovo::testing;
using Lines = std::vector<std::string>;

// An encoder fed by sig~ INPUT, each outlet printed as oK.
class Encoder {
public:
    Encoder(const std::string& args, float input = 0.5f) {
        const Lines made = patch.run("vectorsize 2\nnew src sig~ " + float_text(input) +
                                     "\nnew e tovo.ambi.encode~ " + args + "\nconnect src 0 e 0");
        EXPECT_TRUE(made.empty()) << made.front();
        outlets = patch.outlets("e");
        patch.run(print_each_outlet("e", outlets, "o"));
    }
    // Sample 0 of every outlet after one vector.
    std::vector<float> outputs() {
        std::vector<float> first;
        for (const auto& v : vectors_of(patch.run("dsp 1"), "o", outlets))
            first.push_back(v.at(0));
        return first;
    }
    Lines send(const std::string& message) { return patch.run("send e " + message); }

    Patch patch;
    int outlets = 0;
};

TEST(AmbiEncode, DefaultIsFirstOrder2DInRadians) {
    Encoder e("");
    EXPECT_EQ(e.outputs(), (std::vector<float>{0.70710677f * 0.5f, 0.5f, 0.0f}));
    EXPECT_EQ(e.send("dump"),
              (Lines{"--- properties of ambi.encode~:", "2-D 1th order, outputs 3 channels",
                     "\tazimuth 0.000000 \televation 0.000000"}));
    e.send("azimuth 1.5707964"); // radians
    const auto out = e.outputs();
    EXPECT_NEAR(out[1], 0.0f, 1e-7);
    EXPECT_EQ(out[2], 0.5f);
}

TEST(AmbiEncode, CreationWords) {
    struct Case {
        const char* args;
        int outlets;
    };
    for (const Case& c : {Case{"3d", 4}, Case{"2d 3d", 4}, Case{"3D 2nd", 9}, Case{"3rd 1st", 3},
                          Case{"2nd-order", 5}, Case{"3rd-order 2D", 7}, Case{"3d 3rd", 16},
                          Case{"4th 7 2.5 foo 3-d", 3}}) {
        Encoder e(c.args); // creation prints nothing, whatever the words
        EXPECT_EQ(e.outlets, c.outlets) << c.args;
    }
    Encoder full("3d 3rd degrees");
    EXPECT_EQ(full.send("dump"),
              (Lines{"--- properties of ambi.encode~:", "3-D 3th order, outputs 16 channels",
                     "\tazimuth 0.000000 \televation 0.000000"}));
    // At azimuth 0, elevation 0: W, then X U P at 1, R at -0.5, L at -0.72727275, the rest 0.
    std::vector<float> expected(16, 0.0f);
    expected[0] = 0.70710677f;
    expected[1] = expected[3] = expected[5] = 1.0f;
    expected[10] = -0.5f;
    expected[13] = -0.72727275f;
    Encoder unit("3d 3rd", 1.0f);
    EXPECT_EQ(unit.outputs(), expected);
}

TEST(AmbiEncode, DirectionsTakeFloatsOnly) {
    Encoder e("degrees");
    const auto front = e.outputs();
    for (const char* ignored : {"azimuth 90", "azimuth", "azimuth left", "elevation 45"}) {
        EXPECT_TRUE(e.send(ignored).empty());
        EXPECT_EQ(e.outputs(), front) << ignored;
    }
    e.send("azimuth 90. 12. foo"); // atoms after the first do not matter
    const auto left = e.outputs();
    EXPECT_EQ(left[0], front[0]);
    EXPECT_NEAR(left[1], 0.0f, 0.5e-6);
    EXPECT_EQ(left[2], 0.5f);
    // Elevation scales the horizontal harmonics.
    e.send("elevation 60.");
    EXPECT_NEAR(e.outputs()[2], 0.25f, 1e-7);
}

TEST(AmbiEncode, UnitSwitchConvertsTheDirectionAndKeepsTheOutputs) {
    Encoder e("3d degree");
    e.send("azimuth 90.");
    e.send("elevation -30.");
    const auto placed = e.outputs();
    const std::string in_radians = "\tazimuth 1.570796 \televation -0.523599";
    const std::string in_degrees = "\tazimuth 90.000000 \televation -30.000000";
    EXPECT_EQ(e.send("dump").at(2), in_degrees);
    for (const char* message : {"radians", "radians", "degrees", "degrees", "radians"}) {
        EXPECT_TRUE(e.send(message).empty());
        EXPECT_EQ(e.send("dump").at(2), message[0] == 'r' ? in_radians : in_degrees) << message;
        EXPECT_EQ(e.outputs(), placed) << message;
    }
    // New angles are now radians.
    e.send("elevation 0.");
    EXPECT_NEAR(e.outputs()[3], 0.0f, 1e-7); // Z
}

TEST(AmbiEncode, AssistTexts) {
    Encoder e("3d");
    EXPECT_EQ(e.patch.run("assist e in 0"), Lines{"input 0 to encode (signal)"});
    EXPECT_EQ(e.patch.run("assist e out 0\nassist e out 3"),
              (Lines{"encoded output, channel W (signal)", "encoded output, channel Z (signal)"}));
}

// The encoder keeps its copy of the weights between vectors and takes it again after a change:
// every vector carries the direction as it stands, whether it changes before every vector,
// every few vectors or never, and whatever the input does meanwhile.
TEST(AmbiEncode, EveryVectorCarriesTheDirectionAsItStands) {
    for (int period : {1, 4, 0}) { // vectors between changes; 0: never
        SCOPED_TRACE("a change every " + std::to_string(period) + " vectors");
        std::mt19937 rng(7 + period);
        std::uniform_real_distribution<float> angle(-3.2f, 3.2f), unit(-1.0f, 1.0f);
        Encoder e("3d 3rd");
        e.patch.run("vectorsize 5");
        float azimuth = 0.0f, elevation = 0.0f;
        for (int v = 0; v < 30; ++v) {
            if (period && v % period == 0) {
                (rng() % 2 ? azimuth : elevation) = angle(rng);
                e.send("azimuth " + float_text(azimuth));
                e.send("elevation " + float_text(elevation));
            }
            const float input = unit(rng);
            e.patch.run("send src " + float_text(input));
            float weights[tovo::ambi::MAX_CHANNELS] = {0.70710677f};
            tovo::ambi::ambi_weights(3, 3, azimuth, elevation, weights);
            const auto out = vectors_of(e.patch.run("dsp 1"), "o", 16);
            for (int c = 0; c < 16; ++c)
                ASSERT_EQ(out[c], std::vector<float>(5, 0.0f + weights[c] * input))
                    << "vector " << v << ", channel " << c;
        }
    }
}

TEST(AmbiEncode, ManyDspStartsAndFreeLeaveNothingBehind) {
    // Each rebuild hands the encoder a new argument array; the leak checker watches the old ones.
    Encoder e("3d 3rd");
    for (int i = 0; i < 5; ++i)
        e.patch.run("vectorsize " + std::to_string(4 + i) + "\ndsp 1");
    e.patch.run("free e\ndsp 1");
    EXPECT_EQ(e.patch.errors(), 0);
}

} // namespace
