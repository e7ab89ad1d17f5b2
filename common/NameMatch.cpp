#include "common/NameMatch.h"

#include <QChar>

namespace {

char32_t Upper(char32_t cp)
{
    if (cp < 0x80)
        return cp >= 'a' && cp <= 'z' ? cp - ('a' - 'A') : cp;
    // Bytes carried as U+DC80..U+DCFF stay as they are.
    return cp >= 0xD800 && cp <= 0xDFFF ? cp : QChar::toUpper(cp);
}

} // namespace

char32_t NextCodePoint(const unsigned char*& p, const unsigned char* end)
{
    const unsigned char c = *p;
    if (c < 0x80) {
        ++p;
        return c;
    }
    int len;
    char32_t min;
    if ((c & 0xE0) == 0xC0) { len = 2; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; min = 0x10000; }
    else { ++p; return 0xDC00 + c; }
    if (end - p < len) { ++p; return 0xDC00 + c; }
    char32_t cp = c & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) { ++p; return 0xDC00 + c; }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++p; return 0xDC00 + c; }
    p += len;
    return cp;
}

std::u32string FoldName(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end)
        out += Upper(NextCodePoint(p, end));
    return out;
}

std::u32string FoldName(QStringView text)
{
    std::u32string out;
    FoldName(text, out);
    return out;
}

void FoldName(QStringView text, std::u32string& out)
{
    out.clear();
    out.reserve(std::size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t cp = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        out += Upper(cp);
    }
}

int CompareNames(std::string_view a, std::string_view b)
{
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const auto* ea = pa + a.size();
    const auto* eb = pb + b.size();
    while (pa < ea && pb < eb) {
        char32_t ca = *pa, cb = *pb;
        if ((ca | cb) < 0x80) { // the usual case, without decoding
            ++pa;
            ++pb;
            ca = Upper(ca);
            cb = Upper(cb);
        } else {
            ca = Upper(NextCodePoint(pa, ea));
            cb = Upper(NextCodePoint(pb, eb));
        }
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (pa < ea || pb < eb)
        return pa < ea ? 1 : -1;
    return a.compare(b);
}

bool WildcardMatch(std::u32string_view pattern, std::u32string_view name)
{
    std::size_t p = 0, n = 0, starP = std::u32string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u32string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*')
        ++p;
    return p == pattern.size();
}
