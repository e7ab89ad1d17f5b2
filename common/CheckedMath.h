#pragma once
#include <cstdint>

// 32-bit signed arithmetic that raises RuntimeError (Overflow, DivisionByZero)
// instead of wrapping. Division truncates toward zero.
std::int32_t CheckedAdd(std::int32_t a, std::int32_t b);
std::int32_t CheckedSub(std::int32_t a, std::int32_t b);
std::int32_t CheckedMul(std::int32_t a, std::int32_t b);
std::int32_t CheckedDiv(std::int32_t a, std::int32_t b);

// Rounds to the nearest integer, halves to the even neighbour; raises
// Overflow when the result does not fit (NaN never fits).
std::int16_t RoundToInt16(double value);
std::int32_t RoundToInt32(double value);
