// SPDX-License-Identifier: GPL-3.0-or-later
// The parts both hosts share (the class table and its checks, the dispatch rule, the common
// calls), built here over a host of the test's own: what a host must write is only the seam of
// host_services.hpp and the calls that are really its own. Linked without either host.
#include "host/dispatch.hpp"
#include "host/host_services.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// --- the test's host: symbols, a console that keeps its lines, one class table ------------------

namespace tovo::host {

namespace {
std::vector<std::string> g_lines;
} // namespace

Symbol* gensym(const char* text) {
    static std::map<std::string, Symbol> table;
    auto [it, fresh] = table.try_emplace(text ? text : "");
    if (fresh)
        it->second.s_name = it->first.c_str();
    return &it->second;
}

ClassTable& class_table() {
    static ClassTable table;
    return table;
}

void console_post(const std::string& line) {
    g_lines.push_back(line);
}

void console_error(const std::string& text) {
    g_lines.push_back("error: " + text);
}

Outlet* outlet_new(void*, const char*) {
    return nullptr;
}

void outlet_anything(Outlet*, Symbol*, short, Atom*) {}

} // namespace tovo::host

namespace tovo {
namespace {

using namespace host;

// --- a class, as a plug-in writes it ----------------------------------------------------------

struct Probe {
    Object ob;
};
Class* probe_class;
Class* inner_class;
std::vector<std::string> g_calls; // what the handlers were called with

void* probe_new(Symbol*, short, Atom*) {
    return nullptr;
}

void probe_int(Probe*, std::int32_t v) {
    g_calls.push_back("int " + std::to_string(v));
}

void probe_wide(Probe*, std::int32_t a, double b, std::int32_t c, double d, std::int32_t e,
                double f, std::int32_t g, double h, std::int32_t i, double j) {
    char text[TEXT_MAX];
    sprintf(text, "wide %d %g %d %g %d %g %d %g %d %g", a, b, c, d, e, f, g, h, i, j);
    g_calls.push_back(text);
}

void probe_anything(Probe*, Symbol* s, short argc, Atom*) {
    g_calls.push_back(std::string("anything ") + s->s_name + " " + std::to_string(argc));
}

void probe_dsp(Probe*, Signal**, short*) {}

int inner_main() {
    setup(&inner_class, probe_new, nullptr, sizeof(Probe), 0, A_GIMME, 0);
    return 0;
}

int probe_main() {
    setup(&probe_class, probe_new, nullptr, sizeof(Probe), 0, A_GIMME, 0);
    addmess(probe_int, "int", A_LONG, 0);
    // A main that loads another class goes on registering its own afterwards.
    class_table().define("test.inner", inner_main);
    addmess(probe_wide, "wide", A_LONG, A_FLOAT, A_LONG, A_FLOAT, A_LONG, A_FLOAT, A_LONG, A_FLOAT,
            A_LONG, A_FLOAT, 0);
    addmess(probe_anything, "anything", A_GIMME, 0);
    addmess(probe_dsp, "dsp", A_CANT, 0);
    addmess(probe_int, "float", A_FLOAT, 0);       // the codes say float, the handler an integer
    addmess(probe_int, "int", A_LONG, 0);          // the same selector again
    addmess(probe_anything, "assist", A_GIMME, 0); // private, with a whole-list handler
    post("registered %d", 1);
    z_add_signalmethod();
    return 0;
}

// Atoms from a script-like list: integers, floats with a '.', and words.
std::vector<Atom> atoms(std::initializer_list<const char*> words) {
    std::vector<Atom> out;
    for (const char* w : words) {
        Atom a{};
        const std::string text = w;
        if (text.find_first_not_of("-0123456789") == std::string::npos)
            atom_setlong(&a, std::stoi(text));
        else if (text.find_first_not_of("-0123456789.e") == std::string::npos)
            atom_setfloat(&a, std::stof(text));
        else
            atom_setsym(&a, gensym(w));
        out.push_back(a);
    }
    return out;
}

class SharedParts : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_lines.clear();
        probe = class_table().define("test.probe", probe_main);
        registration_lines = g_lines;
    }
    void SetUp() override {
        g_lines.clear();
        g_calls.clear();
    }
    // Delivers a message as a host does: the handler, or the line saying why there is none.
    static void deliver(const char* selector, std::vector<Atom> args) {
        Symbol* s = gensym(selector);
        if (const Method* m = find_handler(*probe, s))
            call_handler(*m, nullptr, s, static_cast<short>(args.size()), args.data());
        else
            error("%s", not_understood(*probe, s).c_str());
    }

    static inline Class* probe = nullptr;
    static inline std::vector<std::string> registration_lines;
};

TEST_F(SharedParts, RegistrationKeepsWhatPassesAndNamesEachFault) {
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe, probe_class);
    EXPECT_EQ(registration_lines,
              (std::vector<std::string>{
                  "bug: test.probe: \"float\": type codes do not match the handler's arguments",
                  "bug: test.probe: \"int\": registered twice",
                  "bug: test.probe: \"assist\": private messages are \"dsp\" and \"assist\" with "
                  "their own arguments",
                  "registered 1"}));
    std::vector<std::string> selectors;
    for (const Method& m : probe->methods)
        selectors.push_back(m.selector->s_name);
    EXPECT_EQ(selectors, (std::vector<std::string>{"int", "wide", "anything", "dsp"}));
    EXPECT_TRUE(probe->takes_signals);
    // The inner class was set up under its own name and did not take the outer one's methods.
    ASSERT_NE(inner_class, nullptr);
    EXPECT_EQ(class_table().find(gensym("test.inner")), inner_class);
    EXPECT_TRUE(inner_class->methods.empty());
    EXPECT_EQ(class_table().registering(), nullptr);

    // Outside a main, and a second set-up of a class that exists.
    addmess(probe_int, "late", A_LONG, 0);
    class_table().define("test.probe", probe_main);
    ASSERT_GE(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], "bug: addmess \"late\" without a class being set up");
    EXPECT_EQ(g_lines[1], "bug: test.probe: setup called twice");
}

TEST_F(SharedParts, MessagesReachTheirHandlerByTheTypedArgumentRule) {
    deliver("int", atoms({"3.9"}));
    deliver("int", atoms({"word", "5"}));
    deliver("int", {});
    deliver("wide", atoms({"1.5", "2", "-3.9", "4.5", "5", "6", "7", "8", "9.9", "10", "11"}));
    deliver("wide", atoms({"1"}));
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"int 3", "int 0", "int 0", "wide 1 2 -3 4.5 5 6 7 8 9 10",
                                        "wide 1 0 0 0 0 0 0 0 0 0"}));
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(SharedParts, UnknownSelectorsGoToAnythingAndPrivateHandlersAreNeverReached) {
    deliver("zork", atoms({"1", "2"}));
    deliver("dsp", {});
    deliver("assist", atoms({"1"}));
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"anything zork 2", "anything dsp 0", "anything assist 1"}));
    EXPECT_EQ(own_handler(*probe, gensym("dsp")), nullptr);

    // A class with no whole-list "anything" doesn't understand them.
    EXPECT_EQ(find_handler(*inner_class, gensym("zork")), nullptr);
    EXPECT_EQ(not_understood(*inner_class, gensym("zork")),
              "test.inner: doesn't understand \"zork\"");
    EXPECT_EQ(too_many_atoms(*inner_class, gensym("list")),
              "test.inner: \"list\" with more than 32767 atoms was dropped");
}

} // namespace
} // namespace tovo
