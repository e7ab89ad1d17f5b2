#include "common/CodePage.h"

namespace {

// Length of the valid UTF-8 sequence that starts at p, or 0 when none does.
int ValidUtf8Length(const unsigned char* p, qsizetype left)
{
    const unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int len;
    char32_t min;
    if ((c & 0xE0) == 0xC0) { len = 2; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; min = 0x10000; }
    else return 0;
    if (left < len)
        return 0;
    char32_t cp = c & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

} // namespace

QString FromCodePage(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const int len = ValidUtf8Length(p + i, n - i);
        if (len == 0) {
            out += QChar(char16_t(0xDC00 + p[i]));
            ++i;
        } else {
            out += QString::fromUtf8(reinterpret_cast<const char*>(p + i), len);
            i += len;
        }
    }
    return out;
}

QByteArray ToCodePage(const QString& text)
{
    QByteArray out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        const bool escaped = u >= 0xDC80 && u <= 0xDCFF
                             && !(i > 0 && text.at(i - 1).isHighSurrogate());
        if (escaped) {
            out += QStringView(text).mid(runStart, i - runStart).toUtf8();
            out += char(u - 0xDC00);
            runStart = i + 1;
        }
    }
    out += QStringView(text).mid(runStart).toUtf8();
    return out;
}
