#include "platform/NumberRules.h"

#include <QLocale>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include <locale.h>

namespace {

// Blanks that may stand around a number for the locale-aware conversions.
bool IsBlank(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\n' || u == u'\r' || u == u'\v' || u == u'\f'
           || u == 0x3000; // ideographic space, typed by Japanese input methods
}

bool IsDigit(QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; }

// The decimal mark at position i ("." always, the locale's mark as well);
// returns its length, 0 when there is none.
qsizetype DecimalMarkAt(QStringView s, qsizetype i)
{
    if (i >= s.size())
        return 0;
    if (s[i] == u'.')
        return 1;
    const QString mark = QLocale::system().decimalPoint();
    if (!mark.isEmpty() && s.mid(i).startsWith(mark))
        return mark.size();
    return 0;
}

// The text without the blanks around it.
QStringView TrimBlanks(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

// A decimal number split into ASCII parts, ready for strtod.
struct DecimalParts {
    bool negative = false;
    std::string intDigits;
    std::string fracDigits;
    std::string exponent; // sign and digits, empty when none
};

std::string ToCText(const DecimalParts& p)
{
    std::string out;
    if (p.negative)
        out += '-';
    out += p.intDigits.empty() ? "0" : p.intDigits;
    if (!p.fracDigits.empty())
        out += "." + p.fracDigits;
    if (!p.exponent.empty())
        out += "e" + p.exponent;
    return out;
}

// strtod in the "C" locale: the program's own locale (set by Qt from the
// environment) may use another decimal mark.
double CStrtod(const std::string& text)
{
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(text.c_str(), nullptr, cLocale);
}

// Reads [sign] digits [mark digits] from the start of s into p; markAt(s, i)
// is the length of a decimal mark at i, 0 when there is none. Returns where
// the reading stopped.
template <class MarkAt> qsizetype ReadMantissa(QStringView s, DecimalParts& p, MarkAt markAt)
{
    qsizetype i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        p.negative = s[i] == u'-';
        ++i;
    }
    while (i < s.size() && IsDigit(s[i]))
        p.intDigits += char(s[i++].unicode());
    if (const qsizetype mark = markAt(s, i)) {
        i += mark;
        while (i < s.size() && IsDigit(s[i]))
            p.fracDigits += char(s[i++].unicode());
    }
    return i;
}

// Parses [sign] digits [mark digits] [e [sign] digits] covering all of s.
// withExponent: whether the exponent part is allowed.
std::optional<DecimalParts> ParseWholeDecimal(QStringView s, bool withExponent)
{
    DecimalParts p;
    qsizetype i = ReadMantissa(s, p, DecimalMarkAt);
    if (p.intDigits.empty() && p.fracDigits.empty())
        return std::nullopt;
    if (withExponent && i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
            p.exponent += char(s[i++].unicode());
        const qsizetype digitsStart = i;
        while (i < s.size() && IsDigit(s[i]))
            p.exponent += char(s[i++].unicode());
        if (i == digitsStart)
            return std::nullopt;
    }
    if (i != s.size())
        return std::nullopt;
    return p;
}

// Val's blanks: only these are dropped, wherever they stand.
bool IsValBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; }

int HexDigitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// "&H" and "&O" numbers: up to 16 bits they are 16-bit integers, up to 32
// bits 32-bit integers (so "&HFFFF" is -1), as the original rule types them.
// Larger values keep their magnitude, so they never read as 0.
double RadixValue(QStringView s, int radix)
{
    double value = 0;
    for (const QChar c : s) {
        const int d = HexDigitValue(c);
        if (d < 0 || d >= radix)
            break;
        value = value * radix + d;
    }
    if (value <= 0xFFFF)
        return double(std::int16_t(std::uint16_t(value)));
    if (value <= 0xFFFFFFFFu)
        return double(std::int32_t(std::uint32_t(value)));
    return value;
}

} // namespace

std::optional<std::int32_t> VarI4FromStr(const QString& text)
{
    const auto parts = ParseWholeDecimal(TrimBlanks(text), false);
    if (!parts)
        return std::nullopt;

    // Whole part, exactly; anything beyond 2^31 cannot fit either way.
    constexpr std::int64_t limit = std::int64_t(1) << 31;
    std::int64_t magnitude = 0;
    for (const char d : parts->intDigits) {
        magnitude = magnitude * 10 + (d - '0');
        if (magnitude > limit)
            return std::nullopt;
    }

    // Round the fraction to the nearest whole number, halves to even.
    const std::string& frac = parts->fracDigits;
    if (!frac.empty()) {
        bool up = false;
        if (frac[0] > '5') {
            up = true;
        } else if (frac[0] == '5') {
            const bool moreThanHalf = frac.find_first_not_of('0', 1) != std::string::npos;
            up = moreThanHalf || (magnitude % 2) != 0;
        }
        if (up)
            ++magnitude;
    }

    const std::int64_t value = parts->negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return std::int32_t(value);
}

std::optional<double> VarR8FromStr(const QString& text)
{
    const auto parts = ParseWholeDecimal(TrimBlanks(text), true);
    if (!parts)
        return std::nullopt;
    const double value = CStrtod(ToCText(*parts));
    // A number beyond the double range is an overflow, not infinity.
    if (std::isinf(value))
        return std::nullopt;
    return value;
}

double Val(const QString& text)
{
    QString s;
    s.reserve(text.size());
    for (const QChar c : text)
        if (!IsValBlank(c))
            s += c;

    if (s.size() >= 2 && s[0] == u'&') {
        const char16_t kind = s[1].toUpper().unicode();
        if (kind == u'H')
            return RadixValue(QStringView(s).mid(2), 16);
        if (kind == u'O')
            return RadixValue(QStringView(s).mid(2), 8);
        return 0;
    }

    // Val knows only the full stop as a decimal mark, whatever the locale.
    DecimalParts p;
    const qsizetype i = ReadMantissa(
        s, p, [](QStringView t, qsizetype at) -> qsizetype { return at < t.size() && t[at] == u'.' ? 1 : 0; });
    if (p.intDigits.empty() && p.fracDigits.empty())
        return 0;
    // The exponent counts only when complete: "5e" and "5days" read as 5.
    // "D" marks an exponent as well, as in the original rule.
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
        qsizetype j = i + 1;
        std::string exponent;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-'))
            exponent += char(s[j++].unicode());
        const qsizetype digitsStart = j;
        while (j < s.size() && IsDigit(s[j]))
            exponent += char(s[j++].unicode());
        if (j > digitsStart)
            p.exponent = exponent;
    }
    // strtod gives +/-HUGE_VAL (infinity) when the number is too large.
    return CStrtod(ToCText(p));
}
