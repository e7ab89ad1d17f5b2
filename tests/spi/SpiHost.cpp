#include "SpiHost.h"

#include <dlfcn.h>

#include <QFile>
#include <QPainter>

#include <cstring>

#include "support/TestSupport.h"

namespace {

template <typename F>
void Resolve(void* lib, const char* name, F& fn)
{
    fn = reinterpret_cast<F>(dlsym(lib, name));
}

struct Bmih {
    std::uint32_t biSize;
    std::int32_t biWidth, biHeight;
    std::uint16_t biPlanes, biBitCount;
    std::uint32_t biCompression, biSizeImage;
    std::int32_t biXPelsPerMeter, biYPelsPerMeter;
    std::uint32_t biClrUsed, biClrImportant;
};
static_assert(sizeof(Bmih) == 40);

// Checks the blocks as a host must and copies the pixels out.
QImage ImageOfDib(const SpiBridge& b, void* hInfo, void* hBits)
{
    const std::size_t infoSize = b.localSize(hInfo), bitsSize = b.localSize(hBits);
    EXPECT_GE(infoSize, sizeof(Bmih));
    if (infoSize < sizeof(Bmih))
        return {};
    Bmih h;
    std::memcpy(&h, b.localLock(hInfo), sizeof h);
    b.localUnlock(hInfo);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_GT(h.biWidth, 0);
    EXPECT_GT(h.biHeight, 0) << "rows are bottom-up";
    if (h.biSize != 40 || h.biBitCount != 24 || h.biWidth <= 0 || h.biHeight <= 0)
        return {};
    const std::size_t row = (std::size_t(h.biWidth) * 3 + 3) & ~std::size_t(3);
    EXPECT_GE(bitsSize, row * std::size_t(h.biHeight));
    if (bitsSize < row * std::size_t(h.biHeight))
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

Decoded Finish(const SpiBridge& b, int rc, void* hInfo, void* hBits)
{
    Decoded d;
    d.rc = rc;
    d.bothNullOnFailure = rc == 0 || (!hInfo && !hBits);
    if (rc == 0 && hInfo && hBits)
        d.image = ImageOfDib(b, hInfo, hBits);
    if (hInfo) {
        EXPECT_EQ(b.localFree(hInfo), nullptr);
    }
    if (hBits) {
        EXPECT_EQ(b.localFree(hBits), nullptr);
    }
    return d;
}

} // namespace

const SpiBridge* Bridge()
{
    static SpiBridge bridge;
    static void* lib = nullptr;
    if (!lib) {
        const QByteArray path = QFile::encodeName(BuildDir() + "/libLoadPlugin.so");
        lib = dlopen(path.constData(), RTLD_NOW | RTLD_GLOBAL);
        if (!lib) {
            ADD_FAILURE() << "cannot open the bridge: " << dlerror();
            return nullptr;
        }
        Resolve(lib, "GetPluginInfo", bridge.getPluginInfo);
        Resolve(lib, "IsSupported", bridge.isSupported);
        Resolve(lib, "GetPictureInfo", bridge.getPictureInfo);
        Resolve(lib, "GetPicture", bridge.getPicture);
        Resolve(lib, "LocalFree", bridge.localFree);
        Resolve(lib, "LocalLock", bridge.localLock);
        Resolve(lib, "LocalUnlock", bridge.localUnlock);
        Resolve(lib, "LocalSize", bridge.localSize);
        Resolve(lib, "LoadPluginLastError", bridge.lastError);
    }
    if (!bridge.getPluginInfo || !bridge.isSupported || !bridge.getPictureInfo ||
        !bridge.getPicture || !bridge.localFree || !bridge.localLock || !bridge.localUnlock ||
        !bridge.localSize || !bridge.lastError) {
        ADD_FAILURE() << "the bridge lacks a function";
        return nullptr;
    }
    return &bridge;
}

QByteArray ShippedPlugin(const char* name)
{
    return QFile::encodeName(BuildDir() + "/Plugin/" + name);
}

QString PluginText(const QByteArray& plugin, int infono, int buflen)
{
    const SpiBridge* b = Bridge();
    if (!b)
        return {};
    QByteArray buf(buflen + 16, '\x7f');
    const int n = b->getPluginInfo(plugin.constData(), infono, buf.data(), buflen);
    if (const char* err = b->lastError())
        ADD_FAILURE() << err;
    for (int i = buflen; i < buf.size(); ++i)
        EXPECT_EQ(buf[i], '\x7f') << "written past buflen at " << i;
    if (n == 0)
        return {};
    EXPECT_LT(n, buflen);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(std::strlen(buf.constData()), std::size_t(n));
    return QString::fromUtf8(buf.constData(), n);
}

int Supported(const QByteArray& plugin, const QString& file)
{
    const SpiBridge* b = Bridge();
    if (!b)
        return -100;
    const QByteArray name = QFile::encodeName(file);
    return b->isSupported(plugin.constData(), name.constData());
}

Decoded DecodeFile(const QByteArray& plugin, const QString& file, std::intptr_t offset,
                   SpiProgressCallback progress)
{
    const SpiBridge* b = Bridge();
    if (!b)
        return {};
    const QByteArray name = QFile::encodeName(file);
    void* hInfo = nullptr;
    void* hBits = nullptr;
    const int rc = b->getPicture(plugin.constData(), name.constData(), offset, 0, &hInfo, &hBits,
                                 progress, 0);
    if (const char* err = b->lastError())
        ADD_FAILURE() << err;
    return Finish(*b, rc, hInfo, hBits);
}

Decoded DecodeMemory(const QByteArray& plugin, const QByteArray& bytes)
{
    const SpiBridge* b = Bridge();
    if (!b)
        return {};
    void* hInfo = nullptr;
    void* hBits = nullptr;
    const int rc = b->getPicture(plugin.constData(), bytes.constData(), bytes.size(), 1, &hInfo,
                                 &hBits, nullptr, 0);
    if (const char* err = b->lastError())
        ADD_FAILURE() << err;
    return Finish(*b, rc, hInfo, hBits);
}

::testing::AssertionResult ColourNear(const QImage& image, int x, int y, QColor expected,
                                      int tolerance)
{
    if (image.isNull() || !image.rect().contains(x, y))
        return ::testing::AssertionFailure() << "no pixel at " << x << "," << y;
    const QColor c = image.pixelColor(x, y);
    if (std::abs(c.red() - expected.red()) <= tolerance &&
        std::abs(c.green() - expected.green()) <= tolerance &&
        std::abs(c.blue() - expected.blue()) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "pixel " << x << "," << y << " is " << c.name().toStdString() << ", expected near "
           << expected.name().toStdString();
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
