#include "common/CodePage.h"

#include "common/NameMatch.h"

QString FromCodePage(QByteArrayView bytes)
{
    // Most names are plain ASCII, which needs no decoding.
    bool ascii = true;
    for (const char c : bytes)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        return QString::fromLatin1(bytes.data(), bytes.size());
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        // A byte that does not decode comes back as U+DC00 + byte, which no
        // valid UTF-8 sequence gives.
        const char32_t cp = NextCodePoint(p, end);
        if (QChar::requiresSurrogates(cp)) {
            out += QChar(QChar::highSurrogate(cp));
            out += QChar(QChar::lowSurrogate(cp));
        } else {
            out += QChar(char16_t(cp));
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
