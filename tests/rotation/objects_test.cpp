// SPDX-License-Identifier: GPL-3.0-or-later
// The rotation objects wired together in a patch, through the real plug-ins: round trips over
// whole ranges, with quaternions travelling between objects as single-precision floats.
#include "support/patch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

using tovo::testing::numbers;
using tovo::testing::Patch;

std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v);
    return text;
}

bool finite(const std::vector<float>& values) {
    for (float v : values)
        if (!std::isfinite(v))
            return false;
    return true;
}

TEST(RotationPatch, AnglesRoundTripThroughQuaternions) {
    Patch p;
    p.run("new from rot.fromangles\nnew to rot.toangles\nnew out print\n"
          "connect from 0 to 0\nconnect to 0 out 0");
    for (double a1 = -89.5; a1 < 90; a1 += 7)
        for (double a2 = -178; a2 < 180; a2 += 11) {
            const auto back = numbers(p.line("send from " + num(a1) + " " + num(a2) + " 0."));
            ASSERT_EQ(back.size(), 3u);
            EXPECT_NEAR(back[0], a1, 2e-3) << a1 << " " << a2;
            EXPECT_NEAR(back[1], a2, 2e-3) << a1 << " " << a2;
            EXPECT_NEAR(back[2], 0, 2e-3) << a1 << " " << a2;
        }
    // at and near +-90 about y: never NaN, and 90 30 0 comes back
    const auto pole = numbers(p.line("send from 90 30 0"));
    ASSERT_EQ(pole.size(), 3u);
    EXPECT_EQ(pole[0], 90);
    EXPECT_NEAR(pole[1], 30, 1e-4);
    EXPECT_EQ(pole[2], 0);
    for (double off : {0.0, 1e-4, 1e-3, 0.01, 0.03, 0.1})
        for (double a1 : {90 - off, -90 + off})
            for (double a2 = -180; a2 <= 180; a2 += 15) {
                const auto back = numbers(p.line("send from " + num(a1) + " " + num(a2) + " 0."));
                ASSERT_EQ(back.size(), 3u);
                EXPECT_TRUE(finite(back)) << a1 << " " << a2;
                EXPECT_NEAR(back[0], a1, 0.06) << a1 << " " << a2;
            }
}

// The printed atoms of a line, ready to send again.
std::string atoms(const std::string& line) {
    return line.substr(line.find(':') + 1);
}

TEST(RotationPatch, ComposingWithTheReverseLeavesNoTurn) {
    Patch p;
    p.run("new q quat\nnew rev rot.reverse\nnew held print held\nnew back print back\n"
          "connect q 0 held 0\nconnect rev 0 back 0");
    for (const char* start : {"0.3 0.5 -0.2 0.7", "-1 2 3 4", "0.01 0 0 1"}) {
        const std::string held = atoms(p.line(std::string("send q ") + start));
        const std::string reversed = atoms(p.line("send rev" + held));
        const auto none = numbers(p.line("send q mul" + reversed));
        ASSERT_EQ(none.size(), 4u);
        EXPECT_NEAR(std::fabs(none[0]), 1, 1e-6) << start;
        for (int i = 1; i < 4; ++i)
            EXPECT_NEAR(none[i], 0, 1e-6) << start;
    }
}

// A thousand one-degree products about z stay a unit quaternion and add up to 1000 degrees.
TEST(RotationPatch, HeldOrientationDoesNotDrift) {
    Patch p;
    p.run("new step rot.fromturn\nnew q quat\nnew turn rot.toturn\nnew s print step\n"
          "new out print out\nconnect step 0 s 0\nconnect turn 0 out 0");
    const std::string degree = atoms(p.line("send step 1 0 0 1"));
    std::string held;
    p.run("connect q 0 s 0");
    for (int k = 0; k < 1000; ++k)
        held = atoms(p.line("send q mul" + degree));
    const auto q = numbers("q:" + held);
    ASSERT_EQ(q.size(), 4u);
    const double n =
        double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2] + double(q[3]) * q[3];
    EXPECT_NEAR(n, 1, 2e-6);
    const auto turn = numbers(p.line("send turn" + held));
    ASSERT_EQ(turn.size(), 4u);
    EXPECT_NEAR(turn[0], 280, 0.02); // 1000 degrees, held as the half-angle 500
    EXPECT_NEAR(turn[3], 1, 1e-5);
}

} // namespace
