// SPDX-License-Identifier: GPL-3.0-or-later
// tovo --list and tovo --methods, in-process against the test plug-ins: what a class registers,
// in registration order and in the words of the reference pages, and a bare box's inlets and
// outlets with their assist texts.
#include "app/describe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Console {
    std::vector<std::string> lines;
    tovo::host::Runtime rt{TOVO_TEST_EXTERNALS_DIR,
                           [this](std::string_view line) { lines.emplace_back(line); }};

    // The lines from the first one that starts with `head` (a class's main may post before).
    std::vector<std::string> from(const std::string& head) const {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.starts_with(head); });
        return {it, lines.end()};
    }
    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST(Methods, EveryShapeOfHandlerInRegistrationOrder) {
    Console c;
    ASSERT_TRUE(tovo::app::print_methods(c.rt, "list_echo"));
    const std::vector<std::string> expected = {
        "class list_echo (plug-in)",
        "messages, in registration order:",
        "  bang    -",
        "  none    -",
        "  int     int",
        "  float   float",
        "  mixed   int float int",
        "  wide    int float int float int float int float int float",
        "  list    atoms",
        "  gimme   atoms",
        "  assist  private",
        "a box made with no arguments:",
        "list_echo: new with 0 arguments", // the object's own line, as it printed it
        "  1 inlet, 2 outlets",
        "  inlet 0 (messages): inlet 0 of list_echo",
        "  outlet 0 (messages): outlet 0 of list_echo",
        "  outlet 1 (messages): outlet 1 of list_echo",
    };
    EXPECT_EQ(c.from("class "), expected);
}

TEST(Methods, SignalInletsAndOutletsAndNoAssistText) {
    Console c;
    ASSERT_TRUE(tovo::app::print_methods(c.rt, "gain~"));
    const std::vector<std::string> expected = {
        "class gain~ (plug-in, signal object)",
        "messages, in registration order:",
        "  gain  float",
        "  dsp   private",
        "a box made with no arguments:",
        "  1 inlet, 1 outlet",
        "  inlet 0 (signal, messages)",
        "  outlet 0 (signal)",
    };
    EXPECT_EQ(c.from("class "), expected);
}

TEST(Methods, BuiltInsComeFromTheHostItself) {
    Console c;
    ASSERT_TRUE(tovo::app::print_methods(c.rt, "pack"));
    EXPECT_EQ(c.lines.front(), "class pack (built-in)");
    EXPECT_TRUE(c.has("  inlet 1 (messages): slot 1"));
}

TEST(Methods, ClassesThatCannotBeHadAreErrors) {
    Console c;
    EXPECT_FALSE(tovo::app::print_methods(c.rt, "no_such_class"));
    EXPECT_FALSE(tovo::app::print_methods(c.rt, "broken_nomain"));
    // the class registers, but its creation routine makes no box
    EXPECT_FALSE(tovo::app::print_methods(c.rt, "broken_nullnew"));
    const std::vector<std::string> errors = {
        "error: no class \"no_such_class\": no plug-in \"no_such_class.so\" in the externals "
        "folder",
        "error: \"broken_nomain.so\" has no entry point \"main\"",
        "error: broken_nullnew: creation failed, no box made",
    };
    for (const std::string& e : errors)
        EXPECT_TRUE(c.has(e)) << e;
}

TEST(List, BuiltInsThenPluginsAndAnErrorPerFileThatGivesNoClass) {
    Console c;
    EXPECT_FALSE(tovo::app::print_class_list(c.rt));
    const auto at = [&](const std::string& head) {
        return std::find_if(c.lines.begin(), c.lines.end(),
                            [&](const std::string& l) { return l.starts_with(head); });
    };
    ASSERT_NE(at("print "), c.lines.end());
    ASSERT_NE(at("list_echo "), c.lines.end());
    EXPECT_LT(at("xyz2angles "), at("gain~ ")); // every built-in before the first plug-in
    EXPECT_LT(at("gain~ "), at("list_echo "));
    EXPECT_EQ(*at("gain~ "), "gain~           plug-in   signal");
    EXPECT_EQ(*at("print~ "), "print~          built-in  signal");
    EXPECT_EQ(*at("list_echo "), "list_echo       plug-in");
    EXPECT_TRUE(c.has("error: \"broken_nothing.so\" registered no class"));
    EXPECT_TRUE(c.has("error: \"broken_nomain.so\" has no entry point \"main\""));
}

TEST(List, AFolderThatIsNotThereStillListsTheBuiltIns) {
    std::vector<std::string> lines;
    tovo::host::Runtime rt("/nonexistent/externals",
                           [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_FALSE(tovo::app::print_class_list(rt));
    EXPECT_EQ(lines.front().substr(0, 7), "cycle~ ");
    EXPECT_TRUE(lines.back().starts_with("error: can't read the externals folder "));
}

} // namespace
