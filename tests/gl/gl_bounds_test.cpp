// SPDX-License-Identifier: GPL-3.0-or-later
// The Jitter layer in-process, holding firm when a wrapper calls it out of order, and splitting
// creation arguments as the wrapper relies on. The order of the wrapper's own calls shows in
// tests/scripts/gl/call_order.tovo.
#include "support/patch.hpp"
#include <tovo/jitter.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace tovo::host;
using tovo::testing::Patch;
using Lines = std::vector<std::string>;

TEST(GlBounds, FreeingAnEngineStillAttachedIsReportedNotCrashed) {
    Patch p;
    p.run("new b tovo.gl.bounds ctx");
    void* engine = max_jit_obex_jitob_get(p.instance("b"));
    ASSERT_NE(engine, nullptr);
    const Lines lines = p.call([&] {
        jit_object_free(engine); // a free routine that forgot to detach first
        jit_object_free(engine); // and freed twice
        jit_object_free(nullptr);
    });
    EXPECT_EQ(lines, (Lines{"bug: jit_object_free: tovo_gl_bounds freed while attached to a box; "
                            "detach comes first",
                            "bug: jit_object_free: not a living engine object"}));
    // the box's own free routine frees the engine pointer a third time
    EXPECT_EQ(p.run("free b"), Lines{"bug: jit_object_free: not a living engine object"});
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
