#pragma once
// The number rules of the original platform that the program's values follow.
#include <cstdint>
#include <optional>

#include <QString>

// Locale-aware text to 32-bit integer: blanks around the number are allowed,
// a fraction is rounded to the nearest whole number with halves to even, any
// other text fails, and so does a number outside the 32-bit range.
std::optional<std::int32_t> VarI4FromStr(const QString& text);

// Locale-aware text to double (sign, digits, fraction, exponent, blanks
// around); any other text fails.
std::optional<double> VarR8FromStr(const QString& text);

// The leading number of a text: blanks (space, tab, line feed) are skipped
// wherever they stand, "&H" and "&O" introduce hexadecimal and octal
// integers, a decimal number may carry an exponent, reading stops at the
// first character that cannot continue the number, and text without a number
// gives 0. Never fails; a number too large to represent gives +/-infinity.
double Val(const QString& text);
