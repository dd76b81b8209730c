// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.gl.bounds in-process: the order in which the wrapper calls the Jitter layer, and the
// layer holding firm when a wrapper calls it out of order.
#include "host/jitter_trace.hpp"
#include "support/patch.hpp"
#include <tovo/jitter.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace tovo::host;
using tovo::testing::Patch;
using Lines = std::vector<std::string>;

// Collects the Jitter operations called while it lives.
class Trace {
public:
    Trace() {
        set_jitter_trace([this](std::string_view op) { ops.emplace_back(op); });
    }
    ~Trace() { set_jitter_trace({}); }
    Lines take() { return std::exchange(ops, {}); }
    Lines ops;
};

const Lines CREATION = {"max_jit_obex_new",  "max_jit_attr_args_offset", "jit_atom_arg_getsym",
                        "jit_object_new",    "max_jit_obex_jitob_set",   "max_jit_obex_dumpout_set",
                        "max_jit_attr_args", "max_jit_ob3d_attach"};
const Lines FREE = {"max_jit_ob3d_detach", "max_jit_obex_jitob_get", "jit_object_free",
                    "max_jit_obex_free"};

TEST(GlBounds, RegistrationLoadsTheLibraryBeforeWrappingItsClass) {
    Patch p;
    Trace trace;
    p.run("new b tovo.gl.bounds");
    if (trace.ops.empty() || trace.ops.front() != "newinstance")
        GTEST_SKIP() << "tovo.gl.bounds registered earlier in this process";
    const Lines registration = {"newinstance",
                                "class_findbyname",
                                "max_jit_classex_setup",
                                "jit_class_findbyname",
                                "max_jit_classex_standard_wrap",
                                "max_ob3d_setup"};
    Lines expected = registration;
    expected.insert(expected.end(), CREATION.begin(), CREATION.end());
    // no context name: jit_atom_arg_getsym is not called
    expected.erase(std::find(expected.begin(), expected.end(), "jit_atom_arg_getsym"));
    EXPECT_EQ(trace.take(), expected);
}

TEST(GlBounds, AttributesReachTheEngineAfterItExistsAndFreeUndoesInOrder) {
    Patch p;
    p.run("new d print d\nnew first tovo.gl.bounds"); // registered before the trace starts
    Trace trace;
    p.run("new b tovo.gl.bounds ctx @enable 0\nconnect b 1 d 0");
    EXPECT_EQ(trace.take(), CREATION);
    EXPECT_EQ(p.run("send b getdrawto\nsend b getenable"), (Lines{"d: drawto ctx", "d: enable 0"}));
    trace.take();
    p.run("free b");
    EXPECT_EQ(trace.take(), FREE);
    EXPECT_EQ(p.errors(), 0);
}

TEST(GlBounds, ClosingAPatchFreesEveryEngine) {
    Trace trace;
    {
        Patch p;
        p.run("new a tovo.gl.bounds\nnew b tovo.gl.bounds ctx\nnew c tovo.gl.bounds @enable 0");
        trace.take();
    }
    // the sanitizer job shows nothing leaks; here each box's free routine ran once, in order
    Lines expected;
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), FREE.begin(), FREE.end());
    EXPECT_EQ(trace.take(), expected);
}

TEST(GlBounds, FreeingAnEngineStillAttachedIsReportedNotCrashed) {
    Lines lines;
    Runtime rt(TOVO_EXTERNALS_DIR, [&](std::string_view line) { lines.emplace_back(line); });
    tovo::app::Script script(rt);
    script.run_line("new b tovo.gl.bounds ctx", 1);
    ASSERT_NE(rt.box("b"), nullptr);
    {
        CurrentRuntime here(&rt);
        void* engine = max_jit_obex_jitob_get(rt.box("b")->instance);
        ASSERT_NE(engine, nullptr);
        jit_object_free(engine); // a free routine that forgot to detach first
        jit_object_free(engine); // and freed twice
        jit_object_free(nullptr);
    }
    script.run_line("free b", 2); // frees the engine pointer a third time
    EXPECT_EQ(lines, (Lines{"bug: jit_object_free: tovo_gl_bounds freed while attached to a box; "
                            "detach comes first",
                            "bug: jit_object_free: not a living engine object",
                            "bug: jit_object_free: not a living engine object"}));
}

TEST(GlBounds, CreationArgumentsSplitAtTheFirstAttributeWord) {
    Atom args[4];
    atom_setsym(&args[0], gensym("ctx"));
    atom_setlong(&args[1], 3);
    atom_setsym(&args[2], gensym("@enable"));
    atom_setlong(&args[3], 0);
    EXPECT_EQ(max_jit_attr_args_offset(4, args), 2);
    EXPECT_EQ(max_jit_attr_args_offset(2, args + 2), 0);
    EXPECT_EQ(max_jit_attr_args_offset(0, nullptr), 0);

    // only a symbol names a context; anything else leaves the name as it was
    Symbol* name = _jit_sym_nothing;
    EXPECT_EQ(jit_atom_arg_getsym(&name, 1, 4, args), JIT_ERR_INVALID_INPUT);
    EXPECT_EQ(jit_atom_arg_getsym(&name, 4, 4, args), JIT_ERR_INVALID_INPUT);
    EXPECT_EQ(name, _jit_sym_nothing);
    EXPECT_EQ(jit_atom_arg_getsym(&name, 0, 4, args), JIT_ERR_NONE);
    EXPECT_EQ(name, gensym("ctx"));
    EXPECT_EQ(_jit_sym_nothing, gensym(""));
}

} // namespace
