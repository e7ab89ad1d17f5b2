// ifqtimg.spi through the bridge, on WebP, TIFF and TGA files: WebP and TIFF
// written by QImage::save, TGA (which Qt reads but cannot write) by hand.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>

#include "SpiHost.h"
#include "support/TestSupport.h"

namespace {

QByteArray Plugin() { return ShippedPlugin("ifqtimg.spi"); }

QByteArray Saved(const QImage& image, const char* format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format, quality)) << format;
    return bytes;
}

void PutLe16(QByteArray& b, int at, unsigned v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
}

// An uncompressed 24-bit TGA; rows bottom-up unless topDown; with the TGA
// 2.0 footer or without it (as older writers leave it).
QByteArray Tga(const QImage& source, bool topDown, bool footer = false)
{
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    QByteArray b(18, '\0');
    b[2] = 2; // true colour
    PutLe16(b, 12, unsigned(image.width()));
    PutLe16(b, 14, unsigned(image.height()));
    b[16] = 24;
    b[17] = topDown ? 0x20 : 0x00;
    for (int row = 0; row < image.height(); ++row) {
        const int y = topDown ? row : image.height() - 1 - row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            b.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c)));
        }
    }
    if (footer)
        b.append(QByteArray(8, '\0')).append("TRUEVISION-XFILE.", 18);
    return b;
}

void ExpectQuadrants(const Decoded& d, QSize size = {64, 64}, int tolerance = 40)
{
    ASSERT_EQ(d.rc, 0);
    ASSERT_EQ(d.image.size(), size);
    const int w = size.width(), h = size.height();
    EXPECT_TRUE(ColourNear(d.image, w / 4, h / 4, Qt::red, tolerance));
    EXPECT_TRUE(ColourNear(d.image, 3 * w / 4, h / 4, Qt::green, tolerance));
    EXPECT_TRUE(ColourNear(d.image, w / 4, 3 * h / 4, Qt::blue, tolerance));
    EXPECT_TRUE(ColourNear(d.image, 3 * w / 4, 3 * h / 4, Qt::white, tolerance));
}

} // namespace

TEST(IfQtImg, PluginInfoPairs)
{
    EXPECT_EQ(PluginText(Plugin(), 0), "00IN");
    EXPECT_FALSE(PluginText(Plugin(), 1).isEmpty());
    EXPECT_EQ(PluginText(Plugin(), 2), "*.webp");
    EXPECT_EQ(PluginText(Plugin(), 3), "WebP 画像");
    EXPECT_EQ(PluginText(Plugin(), 4), "*.tif;*.tiff");
    EXPECT_EQ(PluginText(Plugin(), 5), "TIFF 画像");
    EXPECT_EQ(PluginText(Plugin(), 6), "*.tga");
    EXPECT_EQ(PluginText(Plugin(), 7), "TGA 画像");
    EXPECT_EQ(PluginText(Plugin(), 8), "");
    EXPECT_EQ(PluginText(Plugin(), 4, 6), "*.tif");
}

TEST(IfQtImg, SupportByContent)
{
    TempTree tree;
    const QImage q = Quadrants(32, 32);
    // The answer minus one picks the pair: WebP 1, TIFF 2, TGA 3.
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("a.webp", Saved(q, "webp"))), 1);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("webp.jpg", Saved(q, "webp"))), 1);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("a.tif", Saved(q, "tiff"))), 2);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("tiff.png", Saved(q, "tiff"))), 2);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("be.dat", QByteArray("MM\0*\0\0\0\x08", 8))), 2);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("a.tga", Tga(q, false))), 3);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("UPPER.TGA", Tga(q, true))), 3);

    // TGA has no signature: a plausible header counts only under a .tga name,
    // and a file that is plainly something else never counts.
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("tga.bin", Tga(q, false))), 0);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("png.tga", Saved(q, "png"))), 0);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("jpeg.tga", Saved(q, "jpeg"))), 0);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("text.tga", "hello, world\n")), 0);
    QByteArray noSize = Tga(q, false);
    PutLe16(noSize, 12, 0);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("nowidth.tga", noSize)), 0);
    QByteArray rle = Tga(q, false);
    rle[2] = 10; // run-length coded: Qt cannot read it, so it is not claimed
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("rle.tga", rle)), 0);
    QByteArray badDepth = Tga(q, false);
    badDepth[16] = 7;
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("depth.tga", badDepth)), 0);
    // Formats Qt lists already are not claimed.
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("a.png", Saved(q, "png"))), 0);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("a.bmp", Saved(q, "bmp"))), 0);
}

TEST(IfQtImg, DecodesWebP)
{
    TempTree tree;
    ExpectQuadrants(DecodeFile(Plugin(), tree.WriteFile("a.webp", Saved(Quadrants(64, 64), "webp", 90))));
    // Quality 100 is lossless.
    ExpectQuadrants(DecodeMemory(Plugin(), Saved(Quadrants(30, 22), "webp", 100)), {30, 22}, 0);
}

TEST(IfQtImg, DecodesTiffWithItsOrientation)
{
    TempTree tree;
    const QByteArray tiff = Saved(Quadrants(30, 22), "tiff");
    ExpectQuadrants(DecodeFile(Plugin(), tree.WriteFile("a.tiff", tiff)), {30, 22}, 0);
    // From an offset inside a bigger file.
    ExpectQuadrants(DecodeFile(Plugin(), tree.WriteFile("w.bin", QByteArray(77, 'z') + tiff), 77),
                    {30, 22}, 0);

    // Stored a quarter turn clockwise: the red top-left quadrant shows top-right.
    QByteArray turned;
    QBuffer buffer(&turned);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    if (!writer.supportsOption(QImageIOHandler::ImageTransformation))
        GTEST_SKIP() << "Qt's TIFF writer stores no orientation";
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    ASSERT_TRUE(writer.write(Quadrants(40, 20)));
    const Decoded d = DecodeMemory(Plugin(), turned);
    ASSERT_EQ(d.rc, 0);
    ASSERT_EQ(d.image.size(), QSize(20, 40));
    EXPECT_TRUE(ColourNear(d.image, 15, 10, Qt::red, 0));
    EXPECT_TRUE(ColourNear(d.image, 5, 10, Qt::blue, 0));
    EXPECT_TRUE(ColourNear(d.image, 15, 30, Qt::green, 0));
    EXPECT_TRUE(ColourNear(d.image, 5, 30, Qt::white, 0));

    PictureInfo info{};
    ASSERT_EQ(Bridge()->getPictureInfo(Plugin().constData(), turned.constData(), turned.size(), 1,
                                       &info),
              0);
    EXPECT_EQ(info.width, 20);
    EXPECT_EQ(info.height, 40);
    EXPECT_EQ(info.colorDepth, 24);
}

TEST(IfQtImg, DecodesTgaBothRowOrdersWithAndWithoutFooter)
{
    TempTree tree;
    const QImage q = Quadrants(30, 22);
    ExpectQuadrants(DecodeFile(Plugin(), tree.WriteFile("up.tga", Tga(q, false))), {30, 22}, 0);
    ExpectQuadrants(DecodeMemory(Plugin(), Tga(q, true)), {30, 22}, 0);
    ExpectQuadrants(DecodeFile(Plugin(), tree.WriteFile("v2.tga", Tga(q, false, true))), {30, 22}, 0);
    ExpectQuadrants(DecodeMemory(Plugin(), Tga(q, true, true)), {30, 22}, 0);
    // Rows missing at the end: an error, not a crash.
    const QByteArray cut = Tga(q, false).left(18 + 30 * 3 * 5);
    const Decoded d = DecodeMemory(Plugin(), cut);
    EXPECT_NE(d.rc, 0);
    EXPECT_TRUE(d.bothNullOnFailure);
}

TEST(IfQtImg, DamagedAndOversizedInput)
{
    TempTree tree;
    const QByteArray tiff = Saved(Quadrants(64, 64), "tiff");
    for (const QByteArray& cut : {tiff.left(8), tiff.left(tiff.size() / 2)}) {
        const Decoded d = DecodeMemory(Plugin(), cut);
        EXPECT_TRUE(d.rc == 2 || d.rc == 3) << d.rc;
        EXPECT_TRUE(d.bothNullOnFailure);
    }
    const QByteArray webp = Saved(Quadrants(64, 64), "webp");
    EXPECT_EQ(DecodeMemory(Plugin(), webp.left(webp.size() / 2)).rc, 3);
    EXPECT_EQ(DecodeFile(Plugin(), tree.Path() + "/missing.webp").rc, 6);
    EXPECT_EQ(DecodeMemory(Plugin(), Saved(Quadrants(8, 8), "png")).rc, 2);

    // 30000 x 20000 at 3 bytes a pixel is 1.8 GB: refused before decoding.
    QByteArray huge = Tga(Quadrants(4, 4), false);
    PutLe16(huge, 12, 30000);
    PutLe16(huge, 14, 20000);
    const Decoded d = DecodeMemory(Plugin(), huge);
    EXPECT_EQ(d.rc, 4);
    EXPECT_TRUE(d.bothNullOnFailure);
}
