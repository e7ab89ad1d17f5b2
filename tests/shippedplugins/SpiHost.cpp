#include "SpiHost.h"

#include <dlfcn.h>

#include <QFile>

#include <cstring>

namespace {

// A function of the build's bridge, which is opened once; throws when absent.
template <typename F>
F Bridge(const char* name)
{
    static void* lib = dlopen(QFile::encodeName(BuildDir() + "/libLoadPlugin.so").constData(), RTLD_NOW | RTLD_GLOBAL);
    if (void* f = lib ? dlsym(lib, name) : nullptr)
        return reinterpret_cast<F>(f);
    throw std::runtime_error(std::string("the bridge lacks ") + name);
}

#define BRIDGE(function) Bridge<decltype(&::function)>(#function)
const auto kFree = [](void* h) { return Bridge<void* (*)(void*)>("LocalFree")(h); };
const auto kLock = [](void* h) { return Bridge<void* (*)(void*)>("LocalLock")(h); };
const auto kUnlock = [](void* h) { return Bridge<int (*)(void*)>("LocalUnlock")(h); };
const auto kSize = [](void* h) { return Bridge<std::size_t (*)(void*)>("LocalSize")(h); };

void ExpectNoBridgeError()
{
    if (const char* err = Bridge<const char* (*)()>("LoadPluginLastError")())
        ADD_FAILURE() << err;
}

// Checks the blocks as a host must and copies the pixels out.
QImage ImageOfDib(void* hInfo, void* hBits)
{
    std::int32_t h[10] = {}; // biSize, biWidth, biHeight, biPlanes | biBitCount << 16, biCompression, ...
    if (kSize(hInfo) < sizeof h)
        return {};
    std::memcpy(h, kLock(hInfo), sizeof h);
    kUnlock(hInfo);
    const int w = h[1], height = h[2];
    const std::size_t row = (std::size_t(w) * 3 + 3) & ~std::size_t(3);
    EXPECT_TRUE(h[0] == 40 && h[3] == (24 << 16 | 1) && h[4] == 0 && w > 0 && height > 0) << "24-bit bottom-up";
    if (h[0] != 40 || h[3] != (24 << 16 | 1) || w <= 0 || height <= 0 || kSize(hBits) < row * std::size_t(height))
        return {};
    const auto* bits = static_cast<const unsigned char*>(kLock(hBits));
    QImage image(w, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = bits + std::size_t(height - 1 - y) * row + 3 * x;
            image.setPixel(x, y, qRgb(p[2], p[1], p[0]));
        }
    kUnlock(hBits);
    return image;
}

Decoded Decode(const QByteArray& plugin, const QByteArray& buf, std::intptr_t len, unsigned flag,
               SpiProgressCallback progress)
{
    void* hInfo = nullptr;
    void* hBits = nullptr;
    Decoded d;
    d.rc = BRIDGE(GetPicture)(plugin.constData(), buf.constData(), len, flag, &hInfo, &hBits, progress, 0);
    ExpectNoBridgeError();
    d.bothNullOnFailure = d.rc == 0 || (!hInfo && !hBits);
    if (d.rc == 0 && hInfo && hBits)
        d.image = ImageOfDib(hInfo, hBits);
    EXPECT_TRUE(d.rc != 0 || !d.image.isNull()) << "a sound DIB";
    for (void* h : {hInfo, hBits})
        EXPECT_EQ(h ? kFree(h) : nullptr, nullptr);
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
    const int n = BRIDGE(GetPluginInfo)(plugin.constData(), infono, buf.data(), buflen);
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
    return BRIDGE(IsSupported)(plugin.constData(), QFile::encodeName(file).constData());
}

int PictureInfoOf(const QByteArray& plugin, const QByteArray& fileOrBytes, bool memory, PictureInfo& info)
{
    std::memset(&info, 0x55, sizeof info);
    return BRIDGE(GetPictureInfo)(plugin.constData(), fileOrBytes.constData(), memory ? fileOrBytes.size() : 0,
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

void ExpectRefused(const QByteArray& plugin, std::initializer_list<QByteArray> damaged, const QByteArray& huge,
                   bool orUnknown)
{
    TempTree tree;
    for (const QByteArray& bad : damaged)
        for (const Decoded& d : {DecodeMemory(plugin, bad), DecodeFile(plugin, tree.WriteFile("bad", bad))}) {
            EXPECT_TRUE(d.rc == 3 || (orUnknown && d.rc == 2)) << d.rc << " for " << bad.size() << " bytes";
            EXPECT_TRUE(d.bothNullOnFailure);
        }
    EXPECT_EQ(DecodeFile(plugin, tree.Path() + "/missing").rc, 6);
    const Decoded d = DecodeMemory(plugin, huge);
    EXPECT_EQ(d.rc, 4);
    EXPECT_TRUE(d.bothNullOnFailure);
}
