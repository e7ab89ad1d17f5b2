#include "common/CheckedMath.h"
#include "common/RuntimeError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {
ErrorKind KindOf(auto&& call)
{
    try {
        call();
    } catch (const RuntimeError& e) {
        return e.Kind();
    }
    ADD_FAILURE() << "no error raised";
    return ErrorKind::PluginFailed;
}
} // namespace

TEST(CheckedMath, RaisesOverflowAndDivisionByZero)
{
    constexpr auto max = std::numeric_limits<std::int32_t>::max();
    constexpr auto min = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(CheckedMul(1000, 900), 900000);
    EXPECT_EQ(KindOf([] { CheckedMul(70000, 70000); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([&] { CheckedAdd(max, 1); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([&] { CheckedSub(min, 1); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { CheckedDiv(5, 0); }), ErrorKind::DivisionByZero);
    EXPECT_EQ(KindOf([&] { CheckedDiv(min, -1); }), ErrorKind::Overflow);
    EXPECT_EQ(CheckedDiv(-7, 2), -3); // truncates toward zero
}

TEST(CheckedMath, RoundsHalvesToEven)
{
    EXPECT_EQ(RoundToInt16(2.5), 2);
    EXPECT_EQ(RoundToInt16(3.5), 4);
    EXPECT_EQ(RoundToInt16(-2.5), -2);
    EXPECT_EQ(RoundToInt16(32767.4), 32767);
    EXPECT_EQ(KindOf([] { RoundToInt16(32767.5); }), ErrorKind::Overflow);
    EXPECT_EQ(RoundToInt32(2999.5), 3000);
    EXPECT_EQ(KindOf([] { RoundToInt32(std::nan("")); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt32(3e9); }), ErrorKind::Overflow);
}
