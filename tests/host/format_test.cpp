// SPDX-License-Identifier: GPL-3.0-or-later
// Number text in and out: what the script reader makes of a token, and how the host prints a
// float so that the printed line reads back to the same atoms.
#include "app/script.hpp"
#include "host/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace {

using tovo::host::A_FLOAT;
using tovo::host::A_LONG;
using tovo::host::A_SYM;
using tovo::host::Atom;

Atom parse(const char* text, bool expect_ok = true) {
    Atom a{};
    std::string why;
    EXPECT_EQ(tovo::app::parse_atom(text, a, why), expect_ok) << text << ": " << why;
    return a;
}

TEST(Format, FloatsPrintShortestWithAPoint) {
    using tovo::host::format_float;
    EXPECT_EQ(format_float(1.0f), "1.");
    EXPECT_EQ(format_float(-0.0f), "-0.");
    EXPECT_EQ(format_float(100.0f), "100.");
    EXPECT_EQ(format_float(0.70710677f), "0.70710677");
    EXPECT_EQ(format_float(1e-08f), "1e-08");
    EXPECT_EQ(format_float(-2.5f), "-2.5");
    EXPECT_EQ(format_float(std::numeric_limits<float>::infinity()), "inf");
}

TEST(Format, PrintedFloatsReadBackBitForBit) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::uint32_t> bits;
    for (int i = 0; i < 100000; ++i) {
        std::uint32_t b = bits(rng);
        float f;
        std::memcpy(&f, &b, sizeof f);
        if (!std::isfinite(f) || (f != 0 && std::fpclassify(f) == FP_SUBNORMAL))
            continue;
        const std::string text = tovo::host::format_float(f);
        const Atom a = parse(text.c_str());
        ASSERT_EQ(a.a_type, A_FLOAT) << text;
        std::uint32_t back;
        std::memcpy(&back, &a.a_w.w_float, sizeof back);
        ASSERT_EQ(back, b) << text;
    }
}

TEST(Format, TokensAreTypedAsAMessageBoxTypesThem) {
    EXPECT_EQ(parse("42").a_type, A_LONG);
    EXPECT_EQ(parse("-7").a_w.w_long, -7);
    EXPECT_EQ(parse("+3").a_w.w_long, 3);
    EXPECT_EQ(parse("2147483647").a_w.w_long, 2147483647);
    EXPECT_EQ(parse("-2147483648").a_w.w_long, std::numeric_limits<std::int32_t>::min());
    for (const char* f : {"90.", ".5", "-1.5e-3", "1e5", "1E+2", "+0.25", "-.5"})
        EXPECT_EQ(parse(f).a_type, A_FLOAT) << f;
    EXPECT_FLOAT_EQ(parse("-1.5e-3").a_w.w_float, -0.0015f);
    for (const char* s : {"x", "-x", "3d", "1st", ".", "-", "+", "1e", "e5", "1.2.3", "0x10", "nan",
                          "inf", "max-rE", "1..2", "--1"})
        EXPECT_EQ(parse(s).a_type, A_SYM) << s;
}

TEST(Format, NumbersAnAtomCannotHoldAreRefused) {
    for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999999", "3.5e38",
                            "-1e39", "1e400", "1e-50"})
        parse(bad, false);
    EXPECT_EQ(parse("3.4e38").a_type, A_FLOAT);
    EXPECT_EQ(parse("1e-40").a_type, A_FLOAT); // subnormal, but held
}

} // namespace
