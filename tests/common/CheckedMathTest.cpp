#include "common/CheckedMath.h"
#include "common/RuntimeError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {
std::optional<ErrorKind> KindOf(auto&& call)
{
    try {
        call();
    } catch (const RuntimeError& e) {
        return e.Kind();
    }
    return std::nullopt;
}
constexpr auto kMax = std::numeric_limits<std::int32_t>::max(), kMin = std::numeric_limits<std::int32_t>::min();
} // namespace

TEST(CheckedMath, ResultsOverflowAndDivisionByZero)
{
    EXPECT_EQ(CheckedMul(1000, 900), 900000);
    EXPECT_EQ(CheckedDiv(-7, 2), -3); // truncates toward zero
    EXPECT_EQ(RoundToInt16(2.5), 2);
    EXPECT_EQ(RoundToInt16(3.5), 4);
    EXPECT_EQ(RoundToInt16(-2.5), -2);
    EXPECT_EQ(RoundToInt16(32767.4), 32767);
    EXPECT_EQ(RoundToInt32(2999.5), 3000);
    EXPECT_EQ(KindOf([] { CheckedMul(70000, 70000); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { CheckedAdd(kMax, 1); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { CheckedSub(kMin, 1); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { CheckedDiv(5, 0); }), ErrorKind::DivisionByZero);
    EXPECT_EQ(KindOf([] { CheckedDiv(kMin, -1); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt16(32767.5); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt32(std::nan("")); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt32(3e9); }), ErrorKind::Overflow);
}
