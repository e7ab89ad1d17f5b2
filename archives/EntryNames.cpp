#include "archives/EntryNames.h"

#include "common/CodePage.h"
#include "common/NameMatch.h"

#include <QStringList>

#include <cerrno>
#include <optional>

#include <iconv.h>

bool IsValidUtf8(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto* end = p + bytes.size();
    while (p < end) {
        const char32_t cp = NextCodePoint(p, end);
        if (cp >= 0xDC00 && cp <= 0xDCFF)
            return false;
    }
    return true;
}

namespace {

// glibc's iconv knows code page 932 (Shift_JIS with Microsoft's additions).
class Cp932Decoder {
public:
    Cp932Decoder() : mCd(iconv_open("UTF-8", "CP932")) {}
    ~Cp932Decoder()
    {
        if (mCd != iconv_t(-1))
            iconv_close(mCd);
    }
    Cp932Decoder(const Cp932Decoder&) = delete;
    Cp932Decoder& operator=(const Cp932Decoder&) = delete;

    std::optional<QString> Decode(const QByteArray& bytes)
    {
        if (mCd == iconv_t(-1))
            return std::nullopt;
        iconv(mCd, nullptr, nullptr, nullptr, nullptr);
        QByteArray out(bytes.size() * 3 + 4, Qt::Uninitialized);
        char* in = const_cast<char*>(bytes.constData());
        std::size_t inLeft = std::size_t(bytes.size());
        char* to = out.data();
        std::size_t outLeft = std::size_t(out.size());
        if (iconv(mCd, &in, &inLeft, &to, &outLeft) == std::size_t(-1) || inLeft != 0)
            return std::nullopt;
        out.truncate(out.size() - qsizetype(outLeft));
        return QString::fromUtf8(out);
    }

private:
    iconv_t mCd;
};

} // namespace

QString InnerPath(const QString& decoded)
{
    QString path = decoded;
    path.replace(u'\\', u'/');
    QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    return parts.join(u'/');
}

QString DecodeEntryName(StoredName name)
{
    const QByteArray* stored = name.asStored;
    if (!name.asCp932 && stored)
        return InnerPath(FromCodePage(*stored));
    if (stored && name.asCp932 && *stored == *name.asCp932 && IsValidUtf8(*stored))
        return InnerPath(QString::fromUtf8(*stored));
    if (stored) {
        static thread_local Cp932Decoder cp932;
        if (std::optional<QString> decoded = cp932.Decode(*stored))
            return InnerPath(*decoded);
        return InnerPath(FromCodePage(*stored));
    }
    // libarchive would not hand this name on as stored (LZH): its reading.
    return name.asCp932 ? InnerPath(FromCodePage(*name.asCp932)) : QString();
}
