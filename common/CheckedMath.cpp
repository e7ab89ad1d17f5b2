#include "common/CheckedMath.h"

#include "common/RuntimeError.h"

#include <cmath>
#include <limits>

namespace {
[[noreturn]] void Overflow()
{
    throw RuntimeError(ErrorKind::Overflow, "Overflow");
}

template <typename T>
T RoundHalfEven(double value)
{
    if (!std::isfinite(value))
        Overflow();
    const double r = std::nearbyint(value); // default rounding mode: halves to even
    if (r < double(std::numeric_limits<T>::min()) || r > double(std::numeric_limits<T>::max()))
        Overflow();
    return static_cast<T>(r);
}

// The result of a GCC overflow builtin, or the overflow error.
template <typename Builtin> std::int32_t Checked(std::int32_t a, std::int32_t b, Builtin builtin)
{
    std::int32_t r;
    if (builtin(a, b, &r))
        Overflow();
    return r;
}
} // namespace

std::int32_t CheckedAdd(std::int32_t a, std::int32_t b)
{
    return Checked(a, b, [](auto x, auto y, auto* r) { return __builtin_add_overflow(x, y, r); });
}

std::int32_t CheckedSub(std::int32_t a, std::int32_t b)
{
    return Checked(a, b, [](auto x, auto y, auto* r) { return __builtin_sub_overflow(x, y, r); });
}

std::int32_t CheckedMul(std::int32_t a, std::int32_t b)
{
    return Checked(a, b, [](auto x, auto y, auto* r) { return __builtin_mul_overflow(x, y, r); });
}

std::int32_t CheckedDiv(std::int32_t a, std::int32_t b)
{
    if (b == 0)
        throw RuntimeError(ErrorKind::DivisionByZero, "Division by zero");
    if (a == std::numeric_limits<std::int32_t>::min() && b == -1)
        Overflow();
    return a / b;
}

std::int16_t RoundToInt16(double value) { return RoundHalfEven<std::int16_t>(value); }
std::int32_t RoundToInt32(double value) { return RoundHalfEven<std::int32_t>(value); }
