#include "platform/NumberRules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

std::int32_t I4(const char* text)
{
    const auto v = VarI4FromStr(QString::fromUtf8(text));
    EXPECT_TRUE(v.has_value()) << "\"" << text << "\" should convert";
    return v.value_or(-999999);
}

void ExpectI4Fails(const char* text)
{
    EXPECT_FALSE(VarI4FromStr(QString::fromUtf8(text)).has_value()) << "\"" << text << "\" should fail";
}

} // namespace

TEST(VarI4FromStr, PlainNumbersAndSigns)
{
    EXPECT_EQ(I4("7"), 7);
    EXPECT_EQ(I4("50"), 50);
    EXPECT_EQ(I4("-3"), -3);
    EXPECT_EQ(I4("+12"), 12);
    EXPECT_EQ(I4("0007"), 7);
    EXPECT_EQ(I4("2147483647"), 2147483647);
    EXPECT_EQ(I4("-2147483648"), std::numeric_limits<std::int32_t>::min());
}

TEST(VarI4FromStr, BlanksAroundAreAllowed)
{
    EXPECT_EQ(I4(" 7 "), 7);
    EXPECT_EQ(I4("\t7"), 7);
    EXPECT_EQ(I4(" 7"), 7);
    EXPECT_EQ(I4("7\r\n"), 7);
    EXPECT_EQ(I4("\xE3\x80\x80" "8"), 8); // ideographic space
}

TEST(VarI4FromStr, FractionRoundsHalfToEven)
{
    EXPECT_EQ(I4("2.5"), 2);
    EXPECT_EQ(I4("3.5"), 4);
    EXPECT_EQ(I4("0.5"), 0);
    EXPECT_EQ(I4("-2.5"), -2);
    EXPECT_EQ(I4("-3.5"), -4);
    EXPECT_EQ(I4("2.50000000000000000001"), 3); // beyond double precision
    EXPECT_EQ(I4("2.4999999999999999999"), 2);
    EXPECT_EQ(I4("2.6"), 3);
    EXPECT_EQ(I4("7."), 7);
    EXPECT_EQ(I4(".6"), 1);
    EXPECT_EQ(I4("2147483646.5"), 2147483646);
    EXPECT_EQ(I4("-2147483647.6"), std::numeric_limits<std::int32_t>::min());
}

TEST(VarI4FromStr, OtherTextFails)
{
    for (const char* bad : {"", " ", "a", "seven", "7a", "a7", "-", "+", ".", "1 2", "- 5", "--5",
                            "1.2.3", "1e3", "&H10", "0x10", "1,000", "\xEF\xBC\x97" /* full-width 7 */})
        ExpectI4Fails(bad);
}

TEST(VarI4FromStr, OverflowFails)
{
    ExpectI4Fails("2147483648");
    ExpectI4Fails("-2147483649");
    ExpectI4Fails("2147483647.5"); // rounds up past the range
    ExpectI4Fails("-2147483648.5" "1");
    ExpectI4Fails("99999999999999999999999999");
}

TEST(VarR8FromStr, AcceptsDecimalAndExponentForms)
{
    EXPECT_DOUBLE_EQ(VarR8FromStr("4").value_or(-1), 4.0);
    EXPECT_DOUBLE_EQ(VarR8FromStr(" 2.5 ").value_or(-1), 2.5);
    EXPECT_DOUBLE_EQ(VarR8FromStr("-0.25").value_or(-1), -0.25);
    EXPECT_DOUBLE_EQ(VarR8FromStr("+1e3").value_or(-1), 1000.0);
    EXPECT_DOUBLE_EQ(VarR8FromStr("1.5E-2").value_or(-1), 0.015);
    EXPECT_DOUBLE_EQ(VarR8FromStr(".5").value_or(-1), 0.5);
    EXPECT_DOUBLE_EQ(VarR8FromStr("12.").value_or(-1), 12.0);
}

TEST(VarR8FromStr, OtherTextAndOverflowFail)
{
    for (const char* bad : {"", "  ", "x", "1x", "1e", "1e+", "e5", "inf", "nan", "1 2", "&H10", "1.2.3", "1e400"})
        EXPECT_FALSE(VarR8FromStr(QString::fromUtf8(bad)).has_value()) << bad;
}

TEST(Val, LeadingNumberStopsAtFirstOtherCharacter)
{
    EXPECT_EQ(Val("12abc"), 12.0);
    EXPECT_EQ(Val("1.2.3"), 1.2);
    EXPECT_EQ(Val("0.5"), 0.5);
    EXPECT_EQ(Val("-1"), -1.0);
    EXPECT_EQ(Val("+7"), 7.0);
    EXPECT_EQ(Val(".25x"), 0.25);
    EXPECT_EQ(Val("1,000"), 1.0);
    EXPECT_EQ(Val("5days"), 5.0);
    EXPECT_EQ(Val("2e"), 2.0);
    EXPECT_EQ(Val("2e+"), 2.0);
}

TEST(Val, TextWithoutNumberIsZero)
{
    for (const char* none : {"", "   ", "word", "-", ".", "e5", "x1", "&", "&Z1", "&H", "&Hxyz", "\r1"})
        EXPECT_EQ(Val(QString::fromUtf8(none)), 0.0) << none;
}

TEST(Val, BlanksAreSkippedAnywhere)
{
    EXPECT_EQ(Val(" 1 2 3 "), 123.0);
    EXPECT_EQ(Val("\t-\n4"), -4.0);
    EXPECT_EQ(Val("1 . 5"), 1.5);
    EXPECT_EQ(Val("1 e 2"), 100.0);
    EXPECT_EQ(Val("& H 1 F"), 31.0);
}

TEST(Val, Exponents)
{
    EXPECT_EQ(Val("1e3"), 1000.0);
    EXPECT_EQ(Val("1E-2"), 0.01);
    EXPECT_EQ(Val("2.5e+1"), 25.0);
    EXPECT_EQ(Val("3D2"), 300.0);
    EXPECT_EQ(Val("0e99999"), 0.0);
}

TEST(Val, HexAndOctalPrefixes)
{
    EXPECT_EQ(Val("&H1F"), 31.0);
    EXPECT_EQ(Val("&hff"), 255.0);
    EXPECT_EQ(Val("&O17"), 15.0);
    EXPECT_EQ(Val("&o18"), 1.0); // 8 is no octal digit
    EXPECT_EQ(Val("&HFFFF"), -1.0);
    EXPECT_EQ(Val("&H8000"), -32768.0);
    EXPECT_EQ(Val("&H10000"), 65536.0);
    EXPECT_EQ(Val("&HFFFFFFFF"), -1.0);
    EXPECT_EQ(Val("&O177777"), -1.0);
    EXPECT_EQ(Val("&H0"), 0.0);
    EXPECT_EQ(Val("&H100000000"), 4294967296.0); // too wide to wrap: stays non-zero
}

TEST(Val, TooLargeGivesInfinity)
{
    EXPECT_TRUE(std::isinf(Val("1e400")));
    EXPECT_GT(Val("1e400"), 0);
    EXPECT_TRUE(std::isinf(Val("-9e9999")));
    EXPECT_LT(Val("-9e9999"), 0);
    EXPECT_TRUE(std::isinf(Val(QString(400, u'9'))));
    EXPECT_TRUE(std::isinf(Val("&H" + QString(300, u'F'))));
    EXPECT_EQ(Val("1e-400"), 0.0); // too small reads as 0
}
