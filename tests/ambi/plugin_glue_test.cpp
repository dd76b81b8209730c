// SPDX-License-Identifier: GPL-3.0-or-later
// What the ambisonic plug-ins share on the host's side, without a patch: the creation words
// split between the format and the object's own, the table of perform routines by kernel path,
// and the decoders' default ring.
#include "ambi/plugin_glue.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace tovo;
using namespace tovo::ambi;
using namespace tovo::host;

TEST(CreationWords, FormatKeywordsMakeTheFormatAndEveryOtherAtomGoesToTheObject) {
    Symbol three_d{"3d"}, degrees{"degrees"}, second{"2nd"}, unknown{"foo"}, first{"1st"};
    Atom argv[7];
    atom_setsym(&argv[0], &three_d);
    atom_setlong(&argv[1], 7);
    atom_setsym(&argv[2], &degrees);
    atom_setfloat(&argv[3], 2.5f);
    atom_setsym(&argv[4], &second);
    atom_setsym(&argv[5], &unknown);
    atom_setsym(&argv[6], &first);
    std::vector<std::string> own;
    const AmbiFormat f = read_creation_format(7, argv, [&](const Atom& a) {
        own.push_back(a.a_type == A_SYM ? a.a_w.w_sym->s_name : std::to_string(atom_to_double(a)));
    });
    // The last order word counts: 3-D first order.
    EXPECT_EQ(f.dimension, 3);
    EXPECT_EQ(f.order, 1);
    EXPECT_EQ(f.channel_count, 4);
    EXPECT_EQ(own, (std::vector<std::string>{"7.000000", "degrees", "2.500000", "foo"}));

    bool called = false;
    const AmbiFormat none = read_creation_format(0, nullptr, [&](const Atom&) { called = true; });
    EXPECT_FALSE(called);
    EXPECT_EQ(none.dimension, 2);
    EXPECT_EQ(none.order, 1);
    EXPECT_EQ(none.channel_count, 3);
}

// Each path's routine marks its words with the path's number.
template <KernelPath path> std::intptr_t* marked(std::intptr_t* w) {
    return w + path;
}

TEST(PerformTable, OneRoutinePerKernelPathInTheOrderOfThePaths) {
    constexpr auto table = perform_per_path([]<KernelPath path>() { return marked<path>; });
    static_assert(table.size() == KERNEL_PATH_COUNT);
    std::intptr_t words[KERNEL_PATH_COUNT] = {};
    for (int p = 0; p < KERNEL_PATH_COUNT; ++p)
        EXPECT_EQ(table[static_cast<std::size_t>(p)](words), words + p)
            << kernel_path_name(static_cast<KernelPath>(p));
}

TEST(DecoderRing, SpeakerZeroHalfASpacingRightOfTheFrontThenCounterclockwise) {
    float azimuth[4], elevation[4] = {9, 9, 9, 9};
    default_speaker_ring(4, azimuth, elevation);
    const double expected_deg[] = {-45, 45, 135, 225};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(azimuth[k] * DECODER_RADIAN_FACTOR, expected_deg[k], 1e-4) << k;
        EXPECT_EQ(elevation[k], 0.0f) << k;
    }
}

} // namespace
