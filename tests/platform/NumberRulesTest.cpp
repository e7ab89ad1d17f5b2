#include "platform/NumberRules.h"

#include <gtest/gtest.h>

#include <limits>

namespace {
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();
} // namespace

TEST(VarI4FromStr, SignsBlanksAndFractionsRoundedHalfToEven)
{
    const struct { const char* text; std::int32_t want; } rows[] = {
        {"7", 7}, {"-3", -3}, {"+12", 12}, {"0007", 7}, {"2147483647", 2147483647}, {"-2147483648", kMin},
        {" 7 ", 7}, {"\t7", 7}, {"7\r\n", 7}, {"\xE3\x80\x80" "8", 8} /* ideographic space */,
        {"2.5", 2}, {"3.5", 4}, {"0.5", 0}, {"-2.5", -2}, {"-3.5", -4}, {"2.6", 3}, {"7.", 7}, {".6", 1},
        {"2.50000000000000000001", 3}, {"2.4999999999999999999", 2}, // beyond double precision
        {"2147483646.5", 2147483646}, {"-2147483647.6", kMin},
    };
    for (const auto& r : rows)
        EXPECT_EQ(VarI4FromStr(QString::fromUtf8(r.text)), std::optional<std::int32_t>(r.want)) << r.text;
}

TEST(VarI4FromStr, OtherTextAndOverflowFail)
{
    for (const char* bad : {"", " ", "a", "7a", "a7", "-", "+", ".", "1 2", "- 5", "--5", "1.2.3", "1e3", "&H10",
                            "0x10", "1,000", "\xEF\xBC\x97" /* full-width 7 */, "2147483648", "-2147483649",
                            "2147483647.5", "-2147483648.51", "99999999999999999999999999"})
        EXPECT_FALSE(VarI4FromStr(QString::fromUtf8(bad)).has_value()) << bad;
}

TEST(VarR8FromStr, DecimalAndExponentFormsOthersFail)
{
    const struct { const char* text; double want; } rows[] = {
        {"4", 4}, {" 2.5 ", 2.5}, {"-0.25", -0.25}, {"+1e3", 1000}, {"1.5E-2", 0.015}, {".5", 0.5}, {"12.", 12},
    };
    for (const auto& r : rows)
        EXPECT_DOUBLE_EQ(VarR8FromStr(r.text).value_or(-1), r.want) << r.text;
    for (const char* bad : {"", "  ", "x", "1x", "1e", "1e+", "e5", "inf", "nan", "1 2", "&H10", "1.2.3", "1e400"})
        EXPECT_FALSE(VarR8FromStr(QString::fromUtf8(bad)).has_value()) << bad;
}

TEST(Val, LeadingNumberOrZero)
{
    const struct { const char* text; double want; } rows[] = {
        // reading stops at the first character that cannot continue the number
        {"12abc", 12}, {"1.2.3", 1.2}, {"0.5", 0.5}, {"-1", -1}, {"+7", 7}, {".25x", 0.25}, {"1,000", 1},
        {"2e", 2}, {"2e+", 2},
        {"", 0}, {"   ", 0}, {"word", 0}, {"-", 0}, {".", 0}, {"e5", 0}, {"x1", 0}, {"&", 0}, {"&Z1", 0},
        {"&H", 0}, {"&Hxyz", 0}, {"\r1", 0},
        // blanks are skipped anywhere
        {" 1 2 3 ", 123}, {"\t-\n4", -4}, {"1 . 5", 1.5}, {"1 e 2", 100}, {"& H 1 F", 31},
        {"1e3", 1000}, {"1E-2", 0.01}, {"2.5e+1", 25}, {"3D2", 300}, {"0e99999", 0},
        {"1e400", kInf}, {"-9e9999", -kInf}, {"1e-400", 0},
        // 16- and 32-bit hex and octal values wrap to negative; wider ones do not
        {"&H1F", 31}, {"&hff", 255}, {"&O17", 15}, {"&o18", 1}, {"&HFFFF", -1}, {"&H8000", -32768},
        {"&H10000", 65536}, {"&HFFFFFFFF", -1}, {"&O177777", -1}, {"&H0", 0}, {"&H100000000", 4294967296.0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Val(QString::fromUtf8(r.text)), r.want) << r.text;
    EXPECT_EQ(Val(QString(400, u'9')), kInf);
    EXPECT_EQ(Val("&H" + QString(300, u'F')), kInf);
}
