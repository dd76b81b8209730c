// SPDX-License-Identifier: GPL-3.0-or-later
// The runtime in-process: what scripts cannot show directly.
#include "support/patch.hpp"

#include <gtest/gtest.h>

namespace {

using tovo::testing::Patch;

// --- test.cutter: on any message, takes away every cord of the box named "src" ------------------

namespace cutter {

using namespace tovo::host;

struct Cutter {
    Object ob;
};
Class* cutter_class;
Runtime* g_runtime = nullptr; // the patch whose "src" it cuts

void* cutter_new(Symbol*, short, Atom*) {
    return newobject(cutter_class);
}

void cutter_anything(Cutter*, Symbol*, short, Atom*) {
    Box* src = g_runtime->box("src");
    std::string why;
    for (const auto& o : src->outlets)
        for (const Cord c : std::vector<Cord>(o->cords))
            g_runtime->disconnect(src, 0, c.to, c.inlet, why);
}

int cutter_main() {
    setup(&cutter_class, cutter_new, nullptr, sizeof(Cutter), 0, A_GIMME, 0);
    addmess(cutter_anything, "anything", A_GIMME, 0);
    return 0;
}

} // namespace cutter

TEST(Runtime, PatchesAreIndependentButShareTheRegistry) {
    Patch a(TOVO_TEST_EXTERNALS_DIR);
    Patch b(TOVO_TEST_EXTERNALS_DIR);
    a.run("new e list_echo");
    // main ran once for the process: the second patch creates without registering again
    EXPECT_EQ(b.run("new e list_echo"),
              std::vector<std::string>{"list_echo: new with 0 arguments"});
    EXPECT_EQ(a.run("new p print\nconnect e 0 p 0\nsend e 1 2"),
              std::vector<std::string>{"print: 1 2"});
    EXPECT_TRUE(b.run("send e 1 2").empty()); // b's echo has no cord
}

TEST(Runtime, FreedBoxesLeaveNoDanglingCords) {
    Patch p(TOVO_TEST_EXTERNALS_DIR);
    p.run("new e list_echo\nnew q print\nconnect e 0 q 0\nfree q");
    EXPECT_TRUE(p.run("send e 3").empty());
    EXPECT_EQ(p.errors(), 0);
}

// Cords are kept from both ends, so freeing a box in the middle of a patch, in either
// direction, leaves the others connected to each other as they were and to nothing freed.
TEST(Runtime, FreeingABoxDropsItsCordsBothWaysAndFreesItsName) {
    Patch p(TOVO_TEST_EXTERNALS_DIR);
    p.run("new a prepend a\nnew mid prepend mid\nnew b print b\nnew c print c\n"
          "connect a 0 mid 0\nconnect mid 0 b 0\nconnect a 0 c 0\nconnect mid 0 c 0");
    EXPECT_EQ(p.run("send a 1"), (std::vector<std::string>{"b: mid a 1", "c: mid a 1", "c: a 1"}));
    p.run("free mid");
    EXPECT_EQ(p.run("send a 2"), std::vector<std::string>{"c: a 2"});
    // The name is free again, and the new box starts with no cords.
    EXPECT_TRUE(p.run("new mid print mid\nsend a 3\nconnect a 0 mid 0").size() == 1);
    p.run("free c\nfree a");
    EXPECT_EQ(p.line("send b 4"), "b: 4");
    EXPECT_EQ(p.errors(), 0);
}

// The run's verdict counts every error line, an object's as well as the script's.
TEST(Runtime, ErrorLinesAreCountedWhoeverPrintsThem) {
    Patch p(TOVO_TEST_EXTERNALS_DIR);
    p.run("new q print\nsend q wdith 3\nfrobnicate\nsend q error: not at the start");
    EXPECT_EQ(p.errors(), 1);                // the script's own
    EXPECT_EQ(p.runtime().error_lines(), 1); // print shows "print: error: ...", no error line
    p.run("new e list_echo\nsend e nothing");
    EXPECT_EQ(p.runtime().error_lines(), 2);
}

// With no externals folder a class name would reach the system's library search as a bare
// file name; it is refused instead.
TEST(Runtime, AnEmptyExternalsFolderLoadsNothing) {
    Patch p("");
    EXPECT_EQ(p.line("new m libm"), "error: line 1: no class \"libm\": no externals folder");
    EXPECT_EQ(p.line("new q print q\nsend q 1"), "q: 1"); // built-ins still work
}

TEST(Runtime, LogicalClockAdvancesWithVectors) {
    Patch p(TOVO_TEST_EXTERNALS_DIR);
    p.run("vectorsize 32\ndsp 3\nvectorsize 16\ndsp 1");
    EXPECT_EQ(p.runtime().elapsed_samples(), 3 * 32 + 16);
}

// A handler's count of atoms is 16 bits: a longer message is refused with a line naming it,
// never cut to whatever the count would wrap to.
TEST(Runtime, MessagesTooLongForTheirCountAreRefusedNotWrapped) {
    Patch p(TOVO_TEST_EXTERNALS_DIR);
    std::string ones;
    for (int i = 0; i < 32768; ++i)
        ones += " 1";
    EXPECT_EQ(p.line("new big print" + ones), "error: line 1: more than 32767 creation arguments");
    p.run("new q print q");
    EXPECT_EQ(p.line("send q" + ones), "error: line 3: more than 32767 atoms in one message");
    EXPECT_EQ(p.line("send q list" + ones), "error: line 4: more than 32767 atoms in one message");
    // the longest message a count can hold goes through whole
    EXPECT_EQ(tovo::testing::numbers(p.line("send q" + ones.substr(2))).size(), 32767u);
}

// A receiver may edit the patch while a message travels: the message still goes along every cord
// its outlet had when it left, in connection order, whether the cords fit the copy kept on the
// stack or not; the next message sees the patch as edited.
TEST(Runtime, AMessageGoesAlongTheCordsItLeftWithWhileAReceiverCutsThem) {
    static const bool defined =
        (tovo::host::Registry::instance().define("test.cutter", cutter::cutter_main), true);
    (void)defined;
    for (int receivers : {3, 12}) {
        Patch p(TOVO_TEST_EXTERNALS_DIR);
        cutter::g_runtime = &p.runtime();
        p.run("new src prepend m\nnew cut test.cutter\nconnect src 0 cut 0");
        std::vector<std::string> expected;
        for (int i = 0; i < receivers; ++i) {
            const std::string name = std::string("p").append(std::to_string(i));
            p.run("new " + name + " print " + name + "\nconnect src 0 " + name + " 0");
            expected.push_back(name + ": m 1 2");
        }
        EXPECT_EQ(p.run("send src 1 2"), expected) << receivers << " receivers";
        EXPECT_TRUE(p.run("send src 3").empty());
        EXPECT_EQ(p.errors(), 0);
    }
}

TEST(Runtime, SignalBuffersAreAlignedForWideVectors) {
    auto buffer = tovo::host::make_signal_buffer(5);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.get()) % tovo::host::SIGNAL_ALIGN, 0u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(buffer[i], 0.0f);
}

} // namespace
