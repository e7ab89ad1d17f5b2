#include "SpiHost.h"

#include <dlfcn.h>

#include <QBuffer>
#include <QFile>
#include <QPainter>

#include <cstring>

namespace {

struct SpiBridge {
    decltype(&::GetPluginInfo) getPluginInfo;
    decltype(&::IsSupported) isSupported;
    decltype(&::GetPictureInfo) getPictureInfo;
    decltype(&::GetPicture) getPicture;
    void* (*localFree)(void*);
    void* (*localLock)(void*);
    int (*localUnlock)(void*);
    std::size_t (*localSize)(void*);
    const char* (*lastError)();
};

// The bridge of the build; every function or a fatal failure.
const SpiBridge& Bridge()
{
    static const SpiBridge bridge = [] {
        void* lib = dlopen(QFile::encodeName(BuildDir() + "/libLoadPlugin.so").constData(), RTLD_NOW | RTLD_GLOBAL);
        if (!lib)
            throw std::runtime_error(std::string("cannot open the bridge: ") + dlerror());
        const auto get = [lib](const char* name) {
            if (void* f = dlsym(lib, name))
                return f;
            throw std::runtime_error(std::string("the bridge lacks ") + name);
        };
        return SpiBridge{reinterpret_cast<decltype(&::GetPluginInfo)>(get("GetPluginInfo")),
                         reinterpret_cast<decltype(&::IsSupported)>(get("IsSupported")),
                         reinterpret_cast<decltype(&::GetPictureInfo)>(get("GetPictureInfo")),
                         reinterpret_cast<decltype(&::GetPicture)>(get("GetPicture")),
                         reinterpret_cast<void* (*)(void*)>(get("LocalFree")),
                         reinterpret_cast<void* (*)(void*)>(get("LocalLock")),
                         reinterpret_cast<int (*)(void*)>(get("LocalUnlock")),
                         reinterpret_cast<std::size_t (*)(void*)>(get("LocalSize")),
                         reinterpret_cast<const char* (*)()>(get("LoadPluginLastError"))};
    }();
    return bridge;
}

void ExpectNoBridgeError()
{
    if (const char* err = Bridge().lastError())
        ADD_FAILURE() << err;
}

struct Bmih {
    std::uint32_t biSize;
    std::int32_t biWidth, biHeight;
    std::uint16_t biPlanes, biBitCount;
    std::uint32_t biCompression, biSizeImage;
    std::int32_t biXPelsPerMeter, biYPelsPerMeter;
    std::uint32_t biClrUsed, biClrImportant;
};

// Checks the blocks as a host must and copies the pixels out.
QImage ImageOfDib(const SpiBridge& b, void* hInfo, void* hBits)
{
    Bmih h{};
    if (b.localSize(hInfo) < sizeof h)
        return {};
    std::memcpy(&h, b.localLock(hInfo), sizeof h);
    b.localUnlock(hInfo);
    EXPECT_TRUE(h.biSize == 40 && h.biPlanes == 1 && h.biBitCount == 24 && h.biCompression == 0);
    EXPECT_TRUE(h.biWidth > 0 && h.biHeight > 0) << "rows are bottom-up";
    const std::size_t row = (std::size_t(h.biWidth) * 3 + 3) & ~std::size_t(3);
    if (h.biSize != 40 || h.biBitCount != 24 || h.biWidth <= 0 || h.biHeight <= 0 ||
        b.localSize(hBits) < row * std::size_t(h.biHeight))
        return {};
    const auto* bits = static_cast<const unsigned char*>(b.localLock(hBits));
    QImage image(h.biWidth, h.biHeight, QImage::Format_RGB32);
    for (int y = 0; y < h.biHeight; ++y) {
        const unsigned char* src = bits + std::size_t(h.biHeight - 1 - y) * row;
        for (int x = 0; x < h.biWidth; ++x, src += 3)
            image.setPixel(x, y, qRgb(src[2], src[1], src[0]));
    }
    b.localUnlock(hBits);
    return image;
}

Decoded Decode(const QByteArray& plugin, const QByteArray& buf, std::intptr_t len, unsigned flag,
               SpiProgressCallback progress)
{
    const SpiBridge& b = Bridge();
    void* hInfo = nullptr;
    void* hBits = nullptr;
    Decoded d;
    d.rc = b.getPicture(plugin.constData(), buf.constData(), len, flag, &hInfo, &hBits, progress, 0);
    ExpectNoBridgeError();
    d.bothNullOnFailure = d.rc == 0 || (!hInfo && !hBits);
    if (d.rc == 0 && hInfo && hBits)
        d.image = ImageOfDib(b, hInfo, hBits);
    EXPECT_TRUE(d.rc != 0 || !d.image.isNull()) << "a sound DIB";
    for (void* h : {hInfo, hBits})
        EXPECT_EQ(h ? b.localFree(h) : nullptr, nullptr);
    return d;
}

bool ColourNear(QColor c, QColor expected, int tolerance)
{
    return std::abs(c.red() - expected.red()) <= tolerance && std::abs(c.green() - expected.green()) <= tolerance &&
           std::abs(c.blue() - expected.blue()) <= tolerance;
}

} // namespace

QByteArray ShippedPlugin(const char* name)
{
    return QFile::encodeName(BuildDir() + "/Plugin/" + name);
}

QString PluginText(const QByteArray& plugin, int infono, int buflen)
{
    QByteArray buf(buflen + 16, '\x7f');
    const int n = Bridge().getPluginInfo(plugin.constData(), infono, buf.data(), buflen);
    ExpectNoBridgeError();
    EXPECT_EQ(buf.mid(buflen), QByteArray(16, '\x7f')) << "written past buflen";
    if (n == 0)
        return {};
    EXPECT_LT(n, buflen);
    EXPECT_EQ(std::strlen(buf.constData()), std::size_t(n));
    return QString::fromUtf8(buf.constData(), n);
}

int Supported(const QByteArray& plugin, const QString& file)
{
    return Bridge().isSupported(plugin.constData(), QFile::encodeName(file).constData());
}

int PictureInfoOf(const QByteArray& plugin, const QByteArray& fileOrBytes, bool memory, PictureInfo& info)
{
    std::memset(&info, 0x55, sizeof info);
    return Bridge().getPictureInfo(plugin.constData(), fileOrBytes.constData(), memory ? fileOrBytes.size() : 0,
                                   memory ? 1 : 0, &info);
}

Decoded DecodeFile(const QByteArray& plugin, const QString& file, std::intptr_t offset, SpiProgressCallback progress)
{
    return Decode(plugin, QFile::encodeName(file), offset, 0, progress);
}

Decoded DecodeMemory(const QByteArray& plugin, const QByteArray& bytes)
{
    return Decode(plugin, bytes, bytes.size(), 1, nullptr);
}

void ExpectDecodes(const QByteArray& plugin, const QByteArray& bytes, const QImage& expected, int tolerance)
{
    TempTree tree;
    const QString file = tree.WriteFile("picture", bytes);
    const Decoded decoded[] = {DecodeFile(plugin, file), DecodeMemory(plugin, bytes),
                               DecodeFile(plugin, tree.WriteFile("wrapped", QByteArray(100, 'x') + bytes), 100)};
    for (const Decoded& d : decoded) {
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(d.image.size(), expected.size());
        const int w = expected.width(), h = expected.height();
        for (const QPoint at : {QPoint(w / 4, h / 4), QPoint(3 * w / 4, h / 4), QPoint(w / 4, 3 * h / 4),
                                QPoint(3 * w / 4, 3 * h / 4)})
            EXPECT_TRUE(ColourNear(d.image.pixelColor(at), expected.pixelColor(at), tolerance))
                << at.x() << "," << at.y() << " is " << d.image.pixelColor(at).name().toStdString();
    }
    for (const bool memory : {false, true}) {
        PictureInfo info;
        ASSERT_EQ(PictureInfoOf(plugin, memory ? bytes : QFile::encodeName(file), memory, info), 0);
        const PictureInfo want{0, 0, expected.width(), expected.height(), info.x_density, info.y_density, 24, nullptr};
        EXPECT_EQ(std::memcmp(&info, &want, sizeof info), 0) << info.width << "x" << info.height << " " << memory;
    }
    static int calls;
    calls = 0;
    const Decoded cancelled = DecodeFile(plugin, file, 0, [](int, int, std::intptr_t) { return int(++calls >= 2); });
    EXPECT_EQ(cancelled.rc, 1);
    EXPECT_TRUE(cancelled.bothNullOnFailure);
    EXPECT_EQ(calls, 2) << "no call after the cancel";
    calls = 0;
    const auto counting = [](int num, int denom, std::intptr_t) { return int(++calls < 0 || num < 0 || num > denom); };
    EXPECT_EQ(DecodeFile(plugin, file, 0, counting).rc, 0);
    EXPECT_GE(calls, 2);
}

QImage Quadrants(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    const int w = width / 2, h = height / 2;
    p.fillRect(0, 0, w, h, Qt::red);
    p.fillRect(w, 0, width - w, h, Qt::green);
    p.fillRect(0, h, w, height - h, Qt::blue);
    p.fillRect(w, h, width - w, height - h, Qt::white);
    return image;
}

QByteArray Saved(const QImage& image, const char* format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format, quality)) << format;
    return bytes;
}
