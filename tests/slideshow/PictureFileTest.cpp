#include "slideshow/PictureFile.h"

#include "PictureTestData.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "slideshow/JpegReader.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <cstdio>

#include <unistd.h>

namespace {

QImage RenderNatural(const QString& path)
{
    auto picture = PictureFile::Open(path);
    return picture->Render(picture->NaturalSize());
}

// Opening or drawing the file raises; nothing else may escape.
void ExpectUnreadable(const QString& path)
{
    EXPECT_THROW(
        {
            auto picture = PictureFile::Open(path);
            picture->Render(picture->NaturalSize());
        },
        RuntimeError)
        << path.toStdString();
}

// Checks the quadrant centres of a picture drawn from Quadrants().
void ExpectQuadrants(const QImage& image, QRgb tl, QRgb tr, QRgb bl, QRgb br, int tol)
{
    const int w = image.width(), h = image.height();
    EXPECT_TRUE(Near(image.pixel(w / 4, h / 4), tl, tol)) << std::hex << image.pixel(w / 4, h / 4);
    EXPECT_TRUE(Near(image.pixel(3 * w / 4, h / 4), tr, tol)) << std::hex << image.pixel(3 * w / 4, h / 4);
    EXPECT_TRUE(Near(image.pixel(w / 4, 3 * h / 4), bl, tol)) << std::hex << image.pixel(w / 4, 3 * h / 4);
    EXPECT_TRUE(Near(image.pixel(3 * w / 4, 3 * h / 4), br, tol)) << std::hex << image.pixel(3 * w / 4, 3 * h / 4);
}

constexpr QRgb R = 0xFF0000, G = 0x00FF00, B = 0x0000FF, W = 0xFFFFFF;

// A GIF of one frame per colour, each w x h of one palette index. The LZW
// stream sends a clear code before every second pixel, so all codes stay
// three bits wide.
QByteArray GifFrames(int w, int h, const std::vector<QRgb>& colours)
{
    Bytes b;
    b.Raw({'G', 'I', 'F', '8', '9', 'a'}).U16(w).U16(h).U8(0x91).U8(0).U8(0);
    for (int i = 0; i < 4; ++i) {
        const QRgb c = i < int(colours.size()) ? colours[i] : 0;
        b.U8(qRed(c)).U8(qGreen(c)).U8(qBlue(c));
    }
    for (int frame = 0; frame < int(colours.size()); ++frame) {
        b.Raw({0x21, 0xF9, 4, 0}).U16(10).U8(0).U8(0); // 0.1 s per frame
        b.U8(0x2C).U16(0).U16(0).U16(w).U16(h).U8(0).U8(2);
        std::vector<int> codes;
        for (int p = 0; p < w * h; ++p) {
            if (p % 2 == 0)
                codes.push_back(4);
            codes.push_back(frame);
        }
        codes.push_back(5);
        QByteArray lzw;
        unsigned acc = 0;
        int bits = 0;
        for (int code : codes) {
            acc |= unsigned(code) << bits;
            bits += 3;
            while (bits >= 8) {
                lzw.append(char(acc & 0xFF));
                acc >>= 8;
                bits -= 8;
            }
        }
        if (bits)
            lzw.append(char(acc & 0xFF));
        for (qsizetype at = 0; at < lzw.size(); at += 255) {
            const QByteArray block = lzw.mid(at, 255);
            b.U8(int(block.size())).Raw(block);
        }
        b.U8(0);
    }
    b.U8(0x3B);
    return b.Data();
}

// An EXIF APP1 segment holding only the orientation, placed after SOI.
QByteArray WithOrientation(const QByteArray& jpeg, int orientation, bool bigEndian = false)
{
    Bytes tiff;
    if (bigEndian) {
        tiff.Raw({'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, orientation, 0, 0,
                  0, 0, 0, 0});
    } else {
        tiff.Raw({'I', 'I', 42, 0}).U32(8).U16(1).U16(0x0112).U16(3).U32(1).U16(orientation).U16(0).U32(0);
    }
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff.Data();
    Bytes segment;
    segment.Raw({0xFF, 0xE1}).U8((payload.size() + 2) >> 8).U8(payload.size() + 2).Raw(payload);
    return jpeg.left(2) + segment.Data() + jpeg.mid(2);
}

// A file of icon images taken from single-image icons that Qt writes.
QByteArray IconFile(const std::vector<QImage>& images, int type = 1, int hotX = 0, int hotY = 0)
{
    std::vector<QByteArray> parts;
    for (const QImage& image : images)
        parts.push_back(Encode(image, "ico"));
    Bytes b;
    b.U16(0).U16(type).U16(int(images.size()));
    std::uint32_t offset = 6 + 16 * std::uint32_t(images.size());
    QByteArray data;
    for (const QByteArray& part : parts) {
        QByteArray entry = part.mid(6, 16);
        const qsizetype size = part.size() - 22;
        Bytes e;
        e.Raw(entry.left(4));
        if (type == 2)
            e.U16(hotX).U16(hotY);
        else
            e.Raw(entry.mid(4, 4));
        e.U32(std::uint32_t(size)).U32(offset);
        b.Raw(e.Data());
        data += part.mid(22);
        offset += std::uint32_t(size);
    }
    b.Raw(data);
    return b.Data();
}

QImage Filled(int w, int h, QRgb colour)
{
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(QColor::fromRgba(colour | 0xFF000000));
    return image;
}

// ---------------------------------------------------------------- formats

TEST(PictureFile, ReadsBitmapPngJpegWrittenByQtWithTheirColours)
{
    TempTree tree;
    const QImage source = Quadrants(40, 20);
    const QString bmp = tree.WriteFile("q.bmp", Encode(source, "bmp"));
    const QString png = tree.WriteFile("q.png", Encode(source, "png"));
    const QString jpg = tree.WriteFile("q.jpg", Encode(source, "jpeg", 95));
    for (const QString& path : {bmp, png, jpg}) {
        auto picture = PictureFile::Open(path);
        EXPECT_EQ(picture->NaturalSize(), QSize(40, 20)) << path.toStdString();
        const QImage image = picture->Render(QSize(40, 20));
        ASSERT_EQ(image.size(), QSize(40, 20));
        ExpectQuadrants(image, R, G, B, W, path.endsWith("jpg") ? 40 : 0);
        // Drawn at another size: the whole picture, scaled.
        const QImage big = picture->Render(QSize(100, 30));
        ASSERT_EQ(big.size(), QSize(100, 30));
        ExpectQuadrants(big, R, G, B, W, path.endsWith("jpg") ? 40 : 0);
    }
    // Bitmaps come back exact, to the pixel at the quadrant edges.
    const QImage image = RenderNatural(bmp);
    EXPECT_EQ(image.pixel(19, 9) & 0xFFFFFF, R);
    EXPECT_EQ(image.pixel(20, 9) & 0xFFFFFF, G);
    EXPECT_EQ(image.pixel(19, 10) & 0xFFFFFF, B);
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
}

TEST(PictureFile, FormatIsTakenFromTheContentNotTheName)
{
    TempTree tree;
    const QImage source = Quadrants(16, 8);
    const QString pngAsJpg = tree.WriteFile("photo.jpg", Encode(source, "png"));
    const QString jpgAsBmp = tree.WriteFile("PICTURE.BMP", Encode(source, "jpeg", 95));
    const QString bmpUpper = tree.WriteFile("SCAN.RLE", Encode(source, "bmp"));
    const QString noName = tree.WriteFile("noextension", Encode(source, "png"));
    const QString gifAsPng = tree.WriteFile("anim.PNG", GifFrames(6, 4, {R}));
    for (const QString& path : {pngAsJpg, jpgAsBmp, bmpUpper, noName}) {
        auto picture = PictureFile::Open(path);
        EXPECT_EQ(picture->NaturalSize(), QSize(16, 8)) << path.toStdString();
        ExpectQuadrants(picture->Render(QSize(16, 8)), R, G, B, W, 50);
    }
    EXPECT_EQ(PictureFile::Open(gifAsPng)->NaturalSize(), QSize(6, 4));
    // Text with a picture's name is still no picture.
    ExpectUnreadable(tree.WriteFile("readme.jpg", "This is not a picture at all."));
}

TEST(PictureFile, NamesThatAreNotValidUtf8Open)
{
    TempTree tree;
    const QString name = FromCodePage(QByteArray("\xff\xfe-bild.bmp"));
    const QString path = tree.Path() + "/" + name;
    const QByteArray bytes = Encode(Quadrants(8, 8), "bmp");
    const QByteArray raw = ToCodePage(path);
    std::FILE* f = std::fopen(raw.constData(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), f), std::size_t(bytes.size()));
    std::fclose(f);
    EXPECT_EQ(PictureFile::Open(path)->NaturalSize(), QSize(8, 8));
}

TEST(PictureFile, GifShowsItsFirstFrame)
{
    TempTree tree;
    const QString path = tree.WriteFile("a.gif", GifFrames(7, 5, {R, G, B}));
    auto picture = PictureFile::Open(path);
    EXPECT_EQ(picture->NaturalSize(), QSize(7, 5));
    const QImage image = picture->Render(QSize(7, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            ASSERT_EQ(image.pixel(x, y) & 0xFFFFFF, R) << x << "," << y;
}

TEST(PictureFile, TransparencyIsKept)
{
    TempTree tree;
    QImage source(10, 10, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    for (int x = 0; x < 5; ++x)
        for (int y = 0; y < 10; ++y)
            source.setPixel(x, y, 0xFF00FF00);
    const QImage image = RenderNatural(tree.WriteFile("t.png", Encode(source, "png")));
    EXPECT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(image.pixel(2, 5), 0xFF00FF00);
    EXPECT_EQ(qAlpha(image.pixel(8, 5)), 0);
}

TEST(PictureFile, IconShowsItsLargestImage)
{
    TempTree tree;
    const QString path = tree.WriteFile("app.ico", IconFile({Filled(16, 16, B), Filled(32, 32, R), Filled(24, 24, G)}));
    auto picture = PictureFile::Open(path);
    EXPECT_EQ(picture->NaturalSize(), QSize(32, 32));
    const QImage image = picture->Render(QSize(32, 32));
    EXPECT_EQ(image.pixel(0, 0) & 0xFFFFFF, R);
    EXPECT_EQ(image.pixel(31, 31) & 0xFFFFFF, R);
}

TEST(PictureFile, CursorIsReadLikeAnIconWhateverItsHotSpot)
{
    TempTree tree;
    QImage arrow = Filled(32, 32, G);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            arrow.setPixel(x, y, 0xFFFF0000);
    const QString path = tree.WriteFile("pointer.cur", IconFile({arrow}, 2, 5, 9));
    auto picture = PictureFile::Open(path);
    EXPECT_EQ(picture->NaturalSize(), QSize(32, 32));
    const QImage image = picture->Render(QSize(32, 32));
    EXPECT_EQ(image.pixel(3, 3) & 0xFFFFFF, R);
    EXPECT_EQ(image.pixel(20, 20) & 0xFFFFFF, G);
    // The same bytes named as an icon read the same.
    EXPECT_EQ(PictureFile::Open(tree.WriteFile("pointer.ICO", IconFile({arrow}, 2, 5, 9)))->NaturalSize(),
              QSize(32, 32));
}

// ---------------------------------------------------------------- bitmaps by hand

TEST(PictureFile, Rle8BitmapDecodesWithItsRunsAndAbsoluteGroups)
{
    TempTree tree;
    // 5 x 3, bottom row first: run of 5 red; blue, absolute green-blue-green, blue; delta to the
    // top row, then end of bitmap (the rest of the top row keeps colour 0, black).
    const QByteArray rle = Bytes()
                               .Raw({5, 1, 0, 0})
                               .Raw({1, 2, 0, 3, 3, 2, 3, 0, 1, 2, 0, 0})
                               .Raw({0, 2, 2, 0, 2, 1, 0, 1})
                               .Data();
    const QString path = tree.WriteFile("x.rle", BitmapFile(5, 3, 8, 1, {0x000000, R, B, G}, rle));
    auto picture = PictureFile::Open(path);
    ASSERT_EQ(picture->NaturalSize(), QSize(5, 3));
    const QImage image = picture->Render(QSize(5, 3));
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(image.pixel(x, 2) & 0xFFFFFF, R) << x;
    const QRgb middle[5] = {B, G, B, G, B};
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(image.pixel(x, 1) & 0xFFFFFF, middle[x]) << x;
    const QRgb top[5] = {0, 0, R, R, 0};
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(image.pixel(x, 0) & 0xFFFFFF, top[x]) << x;
}

TEST(PictureFile, Rle4BitmapDecodesNibblePairs)
{
    TempTree tree;
    // 6 x 2: bottom row a run alternating indices 1 and 2; top row absolute 3,3,1,2 then a run of two 2s.
    const QByteArray rle = Bytes().Raw({6, 0x12, 0, 0}).Raw({0, 4, 0x33, 0x12, 2, 0x22, 0, 1}).Data();
    const QString path = tree.WriteFile("y.DIB", BitmapFile(6, 2, 4, 2, {0x000000, R, G, B}, rle));
    const QImage image = RenderNatural(path);
    ASSERT_EQ(image.size(), QSize(6, 2));
    const QRgb bottom[6] = {R, G, R, G, R, G};
    const QRgb top[6] = {B, B, R, G, G, G};
    for (int x = 0; x < 6; ++x) {
        EXPECT_EQ(image.pixel(x, 1) & 0xFFFFFF, bottom[x]) << x;
        EXPECT_EQ(image.pixel(x, 0) & 0xFFFFFF, top[x]) << x;
    }
}

TEST(PictureFile, RleWithoutImageSizeRunsToTheEndOfTheFile)
{
    TempTree tree;
    const QByteArray rle = Bytes().Raw({2, 1, 0, 1}).Data();
    const QImage image = RenderNatural(tree.WriteFile("z.bmp", BitmapFile(2, 1, 8, 1, {0, G}, rle, 0)));
    EXPECT_EQ(image.pixel(1, 0) & 0xFFFFFF, G);
}

TEST(PictureFile, BitmapPixelOffsetAndTopDownRowsAreHonoured)
{
    TempTree tree;
    // 2 x 2, 24 bits, top-down, with a gap of 6 bytes before the pixels.
    QByteArray file = BitmapFile(2, -2, 24, 0, {}, QByteArray(6, '\x7f') +
                                                   Bytes().Raw({0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0}).Data());
    Bytes fixed;
    fixed.Raw(file);
    fixed.Patch32(10, 14 + 40 + 6);
    const QImage image = RenderNatural(tree.WriteFile("gap.bmp", fixed.Data()));
    ASSERT_EQ(image.size(), QSize(2, 2));
    EXPECT_EQ(image.pixel(0, 0) & 0xFFFFFF, R);
    EXPECT_EQ(image.pixel(1, 0) & 0xFFFFFF, G);
    EXPECT_EQ(image.pixel(0, 1) & 0xFFFFFF, B);
    EXPECT_EQ(image.pixel(1, 1) & 0xFFFFFF, W);
}

// ---------------------------------------------------------------- orientation

struct OrientationCase {
    int orientation;
    QRgb tl, tr, bl, br;
};

class ExifOrientationTest : public testing::TestWithParam<OrientationCase> {};

TEST_P(ExifOrientationTest, PhotoIsShownUpright)
{
    const OrientationCase c = GetParam();
    TempTree tree;
    const QByteArray jpeg = Encode(Quadrants(64, 32), "jpeg", 95);
    for (bool bigEndian : {false, true}) {
        const QString path = tree.WriteFile(QString("o%1%2.jpg").arg(c.orientation).arg(bigEndian),
                                            WithOrientation(jpeg, c.orientation, bigEndian));
        auto picture = PictureFile::Open(path);
        const QSize natural = c.orientation >= 5 ? QSize(32, 64) : QSize(64, 32);
        ASSERT_EQ(picture->NaturalSize(), natural);
        const QImage image = picture->Render(natural);
        ASSERT_EQ(image.size(), natural);
        ExpectQuadrants(image, c.tl, c.tr, c.bl, c.br, 40);
        // Scaled decoding keeps the orientation too.
        const QImage small = picture->Render(natural / 2);
        ASSERT_EQ(small.size(), natural / 2);
        ExpectQuadrants(small, c.tl, c.tr, c.bl, c.br, 60);
    }
}

INSTANTIATE_TEST_SUITE_P(AllEight, ExifOrientationTest,
                         testing::Values(OrientationCase{1, R, G, B, W}, OrientationCase{2, G, R, W, B},
                                         OrientationCase{3, W, B, G, R}, OrientationCase{4, B, W, R, G},
                                         OrientationCase{5, R, B, G, W}, OrientationCase{6, B, R, W, G},
                                         OrientationCase{7, W, G, B, R}, OrientationCase{8, G, W, R, B}));

TEST(ExifOrientation, BrokenOrMissingTagsMeanUpright)
{
    const auto parse = [](const QByteArray& b) {
        return ExifOrientation(reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size()));
    };
    const QByteArray head("Exif\0\0", 6);
    EXPECT_EQ(parse(head + Bytes().Raw({'I', 'I', 42, 0}).U32(8).U16(1).U16(0x0112).U16(3).U32(1).U16(6).U16(0).U32(0).Data()), 6);
    // Offset of the directory past the end.
    EXPECT_EQ(parse(head + Bytes().Raw({'I', 'I', 42, 0}).U32(0xFFFFFFF0).Data()), 1);
    // Directory claiming more entries than there are.
    EXPECT_EQ(parse(head + Bytes().Raw({'I', 'I', 42, 0}).U32(8).U16(500).U16(0x0100).Data()), 1);
    // Value out of range, wrong type, wrong byte order mark, no TIFF at all.
    EXPECT_EQ(parse(head + Bytes().Raw({'I', 'I', 42, 0}).U32(8).U16(1).U16(0x0112).U16(3).U32(1).U16(9).U16(0).U32(0).Data()), 1);
    EXPECT_EQ(parse(head + Bytes().Raw({'I', 'I', 42, 0}).U32(8).U16(1).U16(0x0112).U16(4).U32(1).U32(6).U32(0).Data()), 1);
    EXPECT_EQ(parse(head + Bytes().Raw({'X', 'X', 42, 0}).U32(8).Data()), 1);
    EXPECT_EQ(parse(head), 1);
}

// ---------------------------------------------------------------- large photos

TEST(PictureFile, LargeJpegIsDecodedScaledAndReducedSmoothly)
{
    TempTree tree;
    // One-pixel columns of black and white: any reduction that drops pixels
    // shows black or white, a smooth one grey.
    QImage stripes(6000, 4000, QImage::Format_RGB32);
    for (int y = 0; y < 4000; ++y) {
        auto* line = reinterpret_cast<QRgb*>(stripes.scanLine(y));
        for (int x = 0; x < 6000; ++x)
            line[x] = (x & 1) ? 0xFFFFFFFF : 0xFF000000;
    }
    for (int y = 3000; y < 4000; ++y) // a red band at the bottom
        std::fill_n(reinterpret_cast<QRgb*>(stripes.scanLine(y)), 6000, 0xFFFF0000);
    const QString path = tree.WriteFile("big.jpg", Encode(stripes, "jpeg", 90));
    stripes = QImage();

    auto picture = PictureFile::Open(path);
    EXPECT_EQ(picture->NaturalSize(), QSize(6000, 4000));
    const QImage image = picture->Render(QSize(1920, 1080));
    ASSERT_EQ(image.size(), QSize(1920, 1080));
    for (int x = 0; x < 1920; x += 37)
        for (int y : {10, 300, 700}) {
            const int v = qGreen(image.pixel(x, y));
            ASSERT_GT(v, 90) << x << "," << y;
            ASSERT_LT(v, 165) << x << "," << y;
        }
    EXPECT_TRUE(Near(image.pixel(960, 1000), 0xFF0000, 40));

    // The decoder's own scaling: the smallest n/8 size covering the target.
    std::FILE* f = std::fopen(ToCodePage(path).constData(), "rb");
    ASSERT_NE(f, nullptr);
    std::string why;
    const QImage decoded = DecodeJpegScaled(f, QSize(1920, 1080), std::size_t(1) << 30, &why);
    std::fclose(f);
    EXPECT_EQ(decoded.size(), QSize(2250, 1500)) << why; // 3/8
}

TEST(PictureFile, HugeBitmapIsReducedBandByBandWithoutDecodingItWhole)
{
    TempTree tree;
    // 8400 x 8400 at 8 bits (70 MB of file, 282 MB decoded): left half one-pixel
    // columns of black and white, right half blue, the top eighth green.
    const int n = 8400;
    QByteArray pixels(qsizetype(n) * n, '\0');
    for (int row = 0; row < n; ++row) { // bottom-up
        char* line = pixels.data() + qsizetype(row) * n;
        const bool top = row >= n - n / 8;
        for (int x = 0; x < n; ++x)
            line[x] = char(top ? 3 : x >= n / 2 ? 2 : (x & 1));
    }
    const QString path = tree.WriteFile("huge.bmp", BitmapFile(n, n, 8, 0, {0x000000, W, B, G}, pixels));
    pixels = QByteArray();
    auto picture = PictureFile::Open(path);
    ASSERT_EQ(picture->NaturalSize(), QSize(n, n));
    const QImage image = picture->Render(QSize(700, 700));
    ASSERT_EQ(image.size(), QSize(700, 700));
    EXPECT_TRUE(Near(image.pixel(100, 400), 0x808080, 2)) << std::hex << image.pixel(100, 400);
    EXPECT_EQ(image.pixel(600, 400) & 0xFFFFFF, B);
    EXPECT_EQ(image.pixel(100, 40) & 0xFFFFFF, G);
    EXPECT_EQ(image.pixel(600, 40) & 0xFFFFFF, G);
}

// ---------------------------------------------------------------- bad files

TEST(PictureFile, DamagedEmptyAndMissingFilesAndFoldersRaise)
{
    TempTree tree;
    const QImage source = Quadrants(64, 64);
    const QByteArray jpeg = Encode(source, "jpeg", 90);
    const QByteArray png = Encode(source, "png");
    const QByteArray bmp = Encode(source, "bmp");
    const QByteArray gif = GifFrames(20, 20, {R});

    ExpectUnreadable(tree.WriteFile("empty.jpg", ""));
    ExpectUnreadable(tree.Path() + "/missing.png");
    ExpectUnreadable(tree.MakeDir("folder.jpg"));
    ExpectUnreadable(tree.WriteFile("half.jpg", jpeg.left(jpeg.size() / 2)));
    ExpectUnreadable(tree.WriteFile("head.jpg", jpeg.left(20)));
    ExpectUnreadable(tree.WriteFile("magic.jpg", jpeg.left(3)));
    ExpectUnreadable(tree.WriteFile("half.png", png.left(png.size() / 2)));
    ExpectUnreadable(tree.WriteFile("head.png", png.left(12)));
    ExpectUnreadable(tree.WriteFile("half.bmp", bmp.left(bmp.size() / 2)));
    ExpectUnreadable(tree.WriteFile("head.bmp", bmp.left(30)));
    ExpectUnreadable(tree.WriteFile("head.gif", gif.left(10)));
    ExpectUnreadable(tree.WriteFile("noise.bmp", QByteArray("BM") + QByteArray(200, '\xA5')));
    ExpectUnreadable(tree.WriteFile("noise.jpg", QByteArray("\xFF\xD8\xFF") + QByteArray(500, '\x5A')));
    ExpectUnreadable(tree.WriteFile("icon.ico", Bytes().U16(0).U16(1).U16(40).Raw(QByteArray(30, '\1')).Data()));
}

TEST(PictureFile, TinyAndHugeSparseFilesRaiseQuickly)
{
    TempTree tree;
    for (const char* name : {"one.jpg", "one.png", "one.bmp"})
        ExpectUnreadable(tree.WriteFile(name, "\xFF"));
    // 4 GiB of nothing behind the names and signatures of three formats: no
    // read of the whole file, no allocation of its size.
    for (const QByteArray& head : {QByteArray("\xFF\xD8\xFF\xE0"), QByteArray("\x89PNG\r\n\x1a\n"), QByteArray("BM")}) {
        const QString path = tree.WriteFile("sparse-" + QString::number(head.size()) + ".jpg", head);
        ASSERT_EQ(truncate(path.toUtf8().constData(), off_t(4) << 30), 0);
        ExpectUnreadable(path);
    }
}

TEST(PictureFile, HostileBitmapHeadersAreRefused)
{
    TempTree tree;
    const QByteArray rle = Bytes().Raw({2, 1, 0, 1}).Data();
    // RLE image size beyond the file.
    ExpectUnreadable(tree.WriteFile("a.bmp", BitmapFile(2, 1, 8, 1, {0, G}, rle, 4000)));
    // A small file claiming a vast compressed picture.
    ExpectUnreadable(tree.WriteFile("b.bmp", BitmapFile(60000, 60000, 8, 1, {0, G}, rle)));
    // Zero width, top-down RLE, a depth that does not exist.
    ExpectUnreadable(tree.WriteFile("c.bmp", BitmapFile(0, 1, 8, 0, {0, G}, QByteArray(4, 0))));
    ExpectUnreadable(tree.WriteFile("d.bmp", BitmapFile(2, -1, 8, 1, {0, G}, rle)));
    ExpectUnreadable(tree.WriteFile("e.bmp", BitmapFile(2, 1, 7, 0, {}, QByteArray(4, 0))));
    // Rows that the file does not hold.
    ExpectUnreadable(tree.WriteFile("f.bmp", BitmapFile(100, 100, 24, 0, {}, QByteArray(300, 0))));
    // A header size larger than the file.
    QByteArray big = BitmapFile(2, 1, 24, 0, {}, QByteArray(8, 0));
    Bytes b;
    b.Raw(big);
    b.Patch32(14, 100000);
    ExpectUnreadable(tree.WriteFile("g.bmp", b.Data()));
}

TEST(PictureFile, RenderRefusesSizesItCannotDraw)
{
    TempTree tree;
    auto picture = PictureFile::Open(tree.WriteFile("q.png", Encode(Quadrants(4, 4), "png")));
    EXPECT_THROW(picture->Render(QSize(0, 10)), RuntimeError);
    EXPECT_THROW(picture->Render(QSize(-5, 10)), RuntimeError);
    EXPECT_THROW(picture->Render(QSize(100000, 100000)), RuntimeError);
}

} // namespace
