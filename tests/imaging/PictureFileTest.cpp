#include "imaging/PictureFile.h"

#include "PictureTestData.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "imaging/JpegReader.h"
#include "imaging/PngReader.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sys/stat.h>

#include <QDir>

#include <cstdio>

#include <unistd.h>

namespace {

QImage RenderNatural(const QString& path)
{
    auto picture = PictureFile::Open(path);
    return picture->Render(picture->NaturalSize());
}

// Opening or drawing the file raises the loader's one error, saying why
// when given; nothing else may escape.
void ExpectUnreadable(const QString& path, const std::string& why = {})
{
    try {
        RenderNatural(path);
        ADD_FAILURE() << "no error: " << path.toStdString();
    } catch (const RuntimeError& e) {
        const std::string prefix = "cannot read " + path.toStdString() + " as a picture: ";
        EXPECT_EQ(e.Kind(), ErrorKind::TypeMismatch) << e.what();
        if (why.empty()) {
            EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
        } else {
            EXPECT_EQ(e.what(), prefix + why);
        }
    }
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
        QByteArray lzw;
        unsigned acc = 0;
        int bits = 0;
        const auto put = [&](int code) {
            for (acc |= unsigned(code) << bits, bits += 3; bits >= 8; acc >>= 8, bits -= 8)
                lzw.append(char(acc & 0xFF));
        };
        for (int p = 0; p < w * h; ++p) {
            if (p % 2 == 0)
                put(4);
            put(frame);
        }
        put(5);
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
    return WithExif(jpeg, tiff.Data());
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

TEST(PictureFile, FormatsAreReadByContentWithTheirColoursAtAnySize)
{
    TempTree tree;
    const QImage source = Quadrants(40, 20);
    const QByteArray bmp = Encode(source, "bmp"), png = Encode(source, "png"), jpg = Encode(source, "jpeg", 95);
    struct Case {
        const char* name;
        QByteArray data;
        int tol;
    };
    // The name's extension says nothing: the content decides.
    const Case cases[] = {{"q.bmp", bmp, 0}, {"q.png", png, 0}, {"q.jpg", jpg, 40}, {"photo.jpg", png, 0},
                          {"PICTURE.BMP", jpg, 40}, {"SCAN.RLE", bmp, 0}, {"noextension", png, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto picture = PictureFile::Open(tree.WriteFile(c.name, c.data));
        EXPECT_EQ(picture->NaturalSize(), QSize(40, 20));
        for (const QSize size : {QSize(40, 20), QSize(100, 30)}) { // the whole picture, scaled
            const QImage image = picture->Render(size);
            ASSERT_EQ(image.size(), size);
            ExpectQuadrants(image, R, G, B, W, c.tol);
        }
    }
    EXPECT_EQ(PictureFile::Open(tree.WriteFile("anim.PNG", GifFrames(6, 4, {R})))->NaturalSize(), QSize(6, 4));
    // Bitmaps come back exact, to the pixel at the quadrant edges.
    const QImage image = RenderNatural(tree.Path() + "/q.bmp");
    EXPECT_EQ(image.pixel(19, 9) & 0xFFFFFF, R);
    EXPECT_EQ(image.pixel(20, 9) & 0xFFFFFF, G);
    EXPECT_EQ(image.pixel(19, 10) & 0xFFFFFF, B);
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    // A name that is not valid UTF-8 opens.
    const QString odd = tree.Path() + "/" + FromCodePage(QByteArray("\xff\xfe-bild.bmp"));
    std::FILE* f = std::fopen(ToCodePage(odd).constData(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bmp.constData(), 1, std::size_t(bmp.size()), f), std::size_t(bmp.size()));
    std::fclose(f);
    EXPECT_EQ(PictureFile::Open(odd)->NaturalSize(), QSize(40, 20));
}

TEST(PictureFile, GifShowsItsFirstFrameAndPngKeepsTransparency)
{
    TempTree tree;
    const QImage gif = RenderNatural(tree.WriteFile("a.gif", GifFrames(7, 5, {R, G, B})));
    ASSERT_EQ(gif.size(), QSize(7, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            ASSERT_EQ(gif.pixel(x, y) & 0xFFFFFF, R) << x << "," << y;

    QImage source(10, 10, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    for (int y = 0; y < 10; ++y)
        std::fill_n(reinterpret_cast<QRgb*>(source.scanLine(y)), 5, 0xFF00FF00);
    const QImage image = RenderNatural(tree.WriteFile("t.png", Encode(source, "png")));
    EXPECT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(image.pixel(2, 5), 0xFF00FF00);
    EXPECT_EQ(qAlpha(image.pixel(8, 5)), 0);
}

TEST(PictureFile, IconShowsItsLargestImageAndCursorsReadLikeIcons)
{
    TempTree tree;
    const QImage icon = RenderNatural(tree.WriteFile("app.ico", IconFile({Filled(16, 16, B), Filled(32, 32, R), Filled(24, 24, G)})));
    ASSERT_EQ(icon.size(), QSize(32, 32));
    EXPECT_EQ(icon.pixel(0, 0) & 0xFFFFFF, R);
    EXPECT_EQ(icon.pixel(31, 31) & 0xFFFFFF, R);

    QImage arrow = Filled(32, 32, G);
    for (int y = 0; y < 16; ++y)
        std::fill_n(reinterpret_cast<QRgb*>(arrow.scanLine(y)), 16, 0xFFFF0000);
    // Whatever the hot spot, and also under an icon's name.
    for (const char* name : {"pointer.cur", "pointer.ICO"}) {
        const QImage image = RenderNatural(tree.WriteFile(name, IconFile({arrow}, 2, 5, 9)));
        ASSERT_EQ(image.size(), QSize(32, 32)) << name;
        EXPECT_EQ(image.pixel(3, 3) & 0xFFFFFF, R) << name;
        EXPECT_EQ(image.pixel(20, 20) & 0xFFFFFF, G) << name;
    }
}

// ---------------------------------------------------------------- bitmaps by hand

TEST(PictureFile, HandMadeBitmapsDecodeRowByRow)
{
    Bytes gap;
    gap.Raw(BitmapFile(2, -2, 24, 0, {}, QByteArray(6, '\x7f') +
                       Bytes().Raw({0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0}).Data()));
    gap.Patch32(10, 14 + 40 + 6);
    // 5-6-5 bit fields with no valid pixel offset: the pixels follow the masks.
    Bytes fields;
    fields.Raw(BitmapFile(2, 1, 16, 3, {qRgb(0, 0xF8, 0), qRgb(0, 0x07, 0xE0), qRgb(0, 0, 0x1F)},
                          Bytes().Raw({0x00, 0xF8, 0xE0, 0x07}).Data()));
    fields.Patch32(10, 0);
    fields.Patch32(46, 0); // the masks are no colour table
    struct Case {
        const char* name;
        QByteArray file;
        std::vector<std::vector<QRgb>> rows; // top first
    };
    const Case cases[] = {
        // RLE runs themselves are decoded by the DIB code and tested there; here
        // the file's own parts: where the pixels start, rows top-down, the image
        // size of compressed data left at 0 (the data runs to the end of the file).
        {"z.bmp", BitmapFile(2, 1, 8, 1, {0, G}, Bytes().Raw({2, 1, 0, 1}).Data(), 0), {{G, G}}},
        {"gap.bmp", gap.Data(), {{R, G}, {B, W}}},
        {"fields.bmp", fields.Data(), {{R, G}}},
    };
    TempTree tree;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QImage image = RenderNatural(tree.WriteFile(c.name, c.file));
        ASSERT_EQ(image.size(), QSize(int(c.rows[0].size()), int(c.rows.size())));
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                EXPECT_EQ(image.pixel(x, y) & 0xFFFFFF, c.rows[y][x]) << x << "," << y;
    }
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
    const QByteArray head("Exif\0\0", 6);
    const auto ii = [] { return Bytes().Raw({'I', 'I', 42, 0}); };
    const std::pair<QByteArray, int> cases[] = {
        {ii().U32(8).U16(1).U16(0x0112).U16(3).U32(1).U16(6).U16(0).U32(0).Data(), 6},
        {ii().U32(0xFFFFFFF0).Data(), 1},                    // directory past the end
        {ii().U32(8).U16(500).U16(0x0100).Data(), 1},        // more entries than there are
        {ii().U32(8).U16(1).U16(0x0112).U16(3).U32(1).U16(9).U16(0).U32(0).Data(), 1}, // value out of range
        {ii().U32(8).U16(1).U16(0x0112).U16(4).U32(1).U32(6).U32(0).Data(), 1},        // wrong type
        {Bytes().Raw({'X', 'X', 42, 0}).U32(8).Data(), 1},  // wrong byte order mark
        {QByteArray(), 1},                                   // no TIFF at all
    };
    for (const auto& [tiff, want] : cases) {
        const QByteArray b = head + tiff;
        EXPECT_EQ(ExifOrientation(reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size())), want)
            << tiff.toHex().toStdString();
    }
}

// When the photo was taken: the Exif sub-IFD's DateTimeOriginal, in either
// byte order; broken or missing data gives none.
TEST(ExifDateTaken, ReadsTheCamerasDateAndNothingFromBrokenData)
{
    const QByteArray head("Exif\0\0", 6);
    const QByteArray date("2024:05:01 12:34:56\0", 20);
    const auto ii = [] { return Bytes().Raw({'I', 'I', 42, 0}); };
    const std::pair<QByteArray, QString> cases[] = {
        {ExifWithDate(date, false), "2024:05:01 12:34:56"},
        {ExifWithDate(date, true), "2024:05:01 12:34:56"},
        {ii().U32(8).U16(1).U16(0x8769).U16(4).U32(1).U32(0xFFFFFF00).U32(0).Data(), ""}, // sub-IFD past the end
        {ii().U32(8).U16(1).U16(0x8769).U16(3).U32(1).U32(26).U32(0).Data(), ""},         // pointer of the wrong type
        {ii().U32(8).U16(1).U16(0x8769).U16(4).U32(1).U32(26).U32(0)
             .U16(1).U16(0x9003).U16(2).U32(20).U32(0xFFFFFFF0).U32(0).Data(), ""},        // the text past the end
        {ii().U32(8).U16(1).U16(0x8769).U16(4).U32(1).U32(26).U32(0)
             .U16(1).U16(0x9003).U16(2).U32(20).U32(40).Data(), ""},                       // cut short
        {ii().U32(8).U16(1).U16(0x0112).U16(3).U32(1).U16(6).U16(0).U32(0).Data(), ""},   // no sub-IFD at all
        {QByteArray(), ""},
    };
    for (const auto& [tiff, want] : cases) {
        const QByteArray b = head + tiff;
        EXPECT_EQ(ExifDateTaken(reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size())), want)
            << tiff.toHex().toStdString();
    }
    // From a photo as the show opens it; other formats say nothing.
    TempTree tree;
    const QByteArray jpeg = Encode(Quadrants(16, 8), "jpeg", 90);
    EXPECT_EQ(PictureFile::Open(tree.WriteFile("d.jpg", WithExif(jpeg, ExifWithDate(date, true))))->DateTaken(),
              "2024:05:01 12:34:56");
    EXPECT_EQ(PictureFile::Open(tree.WriteFile("n.jpg", jpeg))->DateTaken(), "");
    EXPECT_EQ(PictureFile::Open(tree.WriteFile("b.bmp", Bmp(4, 4)))->DateTaken(), "");
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

    // The decoder's own scaling to the smallest n/8 size covering the
    // target, reduced to the target while the rows come; a target the
    // picture cannot cover gets the whole picture.
    const auto decode = [&](QSize atLeast, std::size_t maxBytes) {
        std::FILE* f = std::fopen(ToCodePage(path).constData(), "rb");
        if (!f)
            throw std::runtime_error("cannot open " + path.toStdString());
        codec::Result<QImage> decoded = DecodeJpegScaled(f, atLeast, maxBytes);
        std::fclose(f);
        return decoded;
    };
    const QImage reduced = *decode(QSize(1920, 1080), std::size_t(1) << 30);
    ASSERT_EQ(reduced.size(), QSize(1920, 1080));
    for (const QPoint at : {QPoint(960, 1000), QPoint(100, 300), QPoint(1800, 700)})
        EXPECT_TRUE(Near(reduced.pixel(at), image.pixel(at), 6)) << at.x() << "," << at.y();
    EXPECT_EQ(decode(QSize(2250, 1500), std::size_t(1) << 30)->size(), QSize(2250, 1500)); // 3/8 exactly
    EXPECT_EQ(decode(QSize(7000, 5000), std::size_t(1) << 30)->size(), QSize(6000, 4000));
    // The limit holds for what is kept, the reduced picture.
    const codec::Result<QImage> overLimit = decode(QSize(1920, 1080), 1920 * 1080 * 4 - 1);
    ASSERT_FALSE(overLimit);
    EXPECT_EQ(overLimit.error().kind, codec::ErrorKind::TooLarge);
    EXPECT_TRUE(decode(QSize(1920, 1080), 1920 * 1080 * 4));
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
    // Every output pixel is the mean of 12 x 12 source pixels, across bands
    // of 499 rows: exact to the last row, and row 87 half green.
    const std::pair<QPoint, QRgb> expected[] = {
        {{100, 400}, 0x808080}, {{600, 400}, B}, {{100, 40}, G}, {{600, 40}, G}, {{100, 699}, 0x808080},
        {{699, 699}, B},        {{600, 87}, 0x008080}, {{600, 88}, B}, {{100, 86}, G}};
    for (const auto& [at, colour] : expected)
        EXPECT_TRUE(Near(image.pixel(at), colour, 1)) << at.x() << "," << at.y() << ": " << std::hex << image.pixel(at);
}

TEST(PictureFile, BigScansAboveQtsOwnLimitDecodeAndPicturesAboveTheCapAreRefused)
{
    // Both take more than the 128 MB that Qt's readers allow by default.
    TempTree tree;
    for (const QSize size : {QSize(8000, 5333), QSize(4960, 7016)}) {
        SCOPED_TRACE(size.width());
        QImage big(size, QImage::Format_RGB32);
        big.fill(QColor(20, 120, 220));
        auto picture = PictureFile::Open(tree.WriteFile("big.png", Encode(big, "png")));
        ASSERT_EQ(picture->NaturalSize(), size);
        const QImage shown = picture->Render(size / 10);
        EXPECT_EQ(shown.size(), size / 10);
        EXPECT_EQ(shown.pixelColor(100, 100), QColor(20, 120, 220));
    }
    // Past the loader's own cap (256 MiB decoded) a picture is refused as it
    // opens, before any decoding, and left to the plug-ins.
    QImage huge(9000, 8000, QImage::Format_Grayscale8);
    huge.fill(128);
    EXPECT_THROW(PictureFile::Open(tree.WriteFile("huge.png", Encode(huge, "png"))), RuntimeError);
}

// Quadrants with fine noise, so that most of a compressed file is picture data
// and half the file holds about half the rows.
QImage NoisyQuadrants(int size)
{
    QImage source = Quadrants(size, size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const QRgb p = source.pixel(x, y);
            const int n = ((x * 7 + y * 13) % 17) - 8;
            source.setPixel(x, y, qRgb(std::clamp(qRed(p) + n, 0, 255), std::clamp(qGreen(p) + n, 0, 255),
                                       std::clamp(qBlue(p) + n, 0, 255)));
        }
    return source;
}

// A file made by ImageMagick's convert from a picture; options go before the
// output name.
QByteArray Converted(TempTree& tree, const QImage& image, const QString& name, const QStringList& options = {})
{
    const QString source = tree.WriteFile(name + ".source.png", Encode(image, "png"));
    return RunTool("convert", QStringList{source} + options + QStringList{tree.Path() + "/" + name}, tree.Path() + "/" + name);
}

TEST(PictureFile, FilesCutShortOrDamagedShowWhatWasDecoded)
{
    TempTree tree;
    const QImage source = NoisyQuadrants(256);
    const QRgb grey = qRgb(128, 128, 128);
    const QByteArray jpeg = Encode(source, "jpeg", 90), png = Encode(source, "png");
    const QByteArray gif = Converted(tree, source, "full.gif");
    QByteArray flipped = png; // one damaged byte in the middle of the pixel data
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x5A);
    const struct {
        const char* name;
        QByteArray data;
        int tolerance;
        QRgb rest; // what the decoder leaves where no data arrived
    } cases[] = {
        {"half.jpg", jpeg.left(jpeg.size() / 2), 40, grey},
        {"half.png", png.left(png.size() / 2), 0, grey},
        {"damaged.png", flipped, 0, grey},
        {"half.gif", gif.left(gif.size() / 2), 60, qRgb(0, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QImage shown = RenderNatural(tree.WriteFile(c.name, c.data));
        ASSERT_EQ(shown.size(), QSize(256, 256));
        EXPECT_TRUE(Near(shown.pixel(64, 16), source.pixel(64, 16), c.tolerance)) << "the top is decoded";
        EXPECT_TRUE(Near(shown.pixel(192, 16), source.pixel(192, 16), c.tolerance));
        EXPECT_TRUE(Near(shown.pixel(128, 255), c.rest, 24)) << std::hex << shown.pixel(128, 255);
    }
    // Interlaced pixels come in seven passes over the rows.
    const QImage shown =
        RenderNatural(tree.WriteFile("interlaced.png", Converted(tree, source, "i.png", {"-interlace", "PNG"})));
    EXPECT_EQ(shown.convertToFormat(QImage::Format_RGB32), source.convertToFormat(QImage::Format_RGB32));
}

// ---------------------------------------------------------------- bad files

// The kind of a reader's error decides what its caller does next: another
// reader for NotThisFormat, the plug-ins or nothing for the rest.
TEST(Readers, SayWhatKeptThemFromThePicture)
{
    using K = codec::ErrorKind;
    TempTree tree;
    const QByteArray jpeg = Encode(Quadrants(64, 64), "jpeg", 90), png = Encode(Quadrants(64, 64), "png");
    QByteArray twelveBits = jpeg; // a precision this libjpeg does not decode
    twelveBits[twelveBits.indexOf("\xFF\xC0") + 4] = 12;
    QByteArray wide = png; // 2,000,000 pixels wide, past libpng's limit
    wide[16] = 0x00, wide[17] = 0x1E, wide[18] = char(0x84), wide[19] = char(0x80);
    enum Reader { JpegHeader, JpegDecode, PngHeader, PngDecode };
    const QString folder = tree.MakeDir("folder"); // opens, but every read fails
    const struct {
        const char* label;
        Reader reader;
        QString path;
        K kind;
        std::size_t maxBytes = std::size_t(1) << 28;
    } cases[] = {
        {"PNG as JPEG", JpegHeader, tree.WriteFile("png.jpg", png), K::NotThisFormat},
        {"empty JPEG", JpegHeader, tree.WriteFile("empty.jpg", ""), K::NotThisFormat},
        {"JPEG cut in its header", JpegHeader, tree.WriteFile("head.jpg", jpeg.left(20)), K::Damaged},
        {"12-bit JPEG", JpegHeader, tree.WriteFile("12.jpg", twelveBits), K::Unsupported},
        {"JPEG that cannot be read", JpegHeader, folder, K::ReadFailed},
        {"JPEG above the limit", JpegDecode, tree.WriteFile("q.jpg", jpeg), K::TooLarge, 64 * 64 * 4 - 1},
        {"JPEG as PNG", PngHeader, tree.WriteFile("jpeg.png", jpeg), K::NotThisFormat},
        {"empty PNG", PngHeader, tree.WriteFile("empty.png", ""), K::NotThisFormat},
        {"PNG cut in its header", PngHeader, tree.WriteFile("head.png", png.left(12)), K::Damaged},
        {"PNG past libpng's size limit", PngHeader, tree.WriteFile("wide.png", wide), K::TooLarge},
        {"PNG that cannot be read", PngHeader, folder, K::ReadFailed},
        {"PNG above the limit", PngDecode, tree.WriteFile("q.png", png), K::TooLarge, 64 * 64 * 4 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::FILE* file = std::fopen(ToCodePage(c.path).constData(), "rb");
        ASSERT_NE(file, nullptr);
        std::optional<codec::Error> error;
        const auto keep = [&](const auto& result) {
            if (!result)
                error = result.error();
        };
        switch (c.reader) {
        case JpegHeader: keep(ReadJpegHeader(file)); break;
        case JpegDecode: keep(DecodeJpegScaled(file, QSize(64, 64), c.maxBytes)); break;
        case PngHeader: keep(ReadPngHeader(file)); break;
        case PngDecode: keep(DecodePng(file, c.maxBytes)); break;
        }
        std::fclose(file);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind, c.kind) << error->message;
    }
}

TEST(PictureFile, DamagedTinyHostileAndMissingFilesRaise)
{
    TempTree tree;
    const QImage source = Quadrants(64, 64);
    const QByteArray jpeg = Encode(source, "jpeg", 90), png = Encode(source, "png"), bmp = Encode(source, "bmp");
    const QByteArray rle = Bytes().Raw({2, 1, 0, 1}).Data();
    Bytes bigHeader; // a header size larger than the file
    bigHeader.Raw(BitmapFile(2, 1, 24, 0, {}, QByteArray(8, 0)));
    bigHeader.Patch32(14, 100000);
    const std::pair<const char*, QByteArray> cases[] = {
        {"one.jpg", "\xFF"}, {"one.png", "\xFF"}, {"one.bmp", "\xFF"},
        {"readme.jpg", "This is not a picture at all."},
        {"head.jpg", jpeg.left(20)}, {"magic.jpg", jpeg.left(3)},
        {"head.png", png.left(12)}, {"ihdr.png", png.left(33)},
        {"half.bmp", bmp.left(bmp.size() / 2)}, {"head.bmp", bmp.left(30)},
        {"head.gif", GifFrames(20, 20, {R}).left(10)},
        {"noise.bmp", QByteArray("BM") + QByteArray(200, '\xA5')},
        {"noise.jpg", QByteArray("\xFF\xD8\xFF") + QByteArray(500, '\x5A')},
        {"icon.ico", Bytes().U16(0).U16(1).U16(40).Raw(QByteArray(30, '\1')).Data()},
        {"rle-size.bmp", BitmapFile(2, 1, 8, 1, {0, G}, rle, 4000)},     // RLE size beyond the file
        {"vast.bmp", BitmapFile(60000, 60000, 8, 1, {0, G}, rle)},       // small file, vast picture
        {"topdown-rle.bmp", BitmapFile(2, -1, 8, 1, {0, G}, rle)},
        {"rows.bmp", BitmapFile(100, 100, 24, 0, {}, QByteArray(300, 0))}, // rows the file lacks
        {"header.bmp", bigHeader.Data()},
    };
    for (const auto& [name, data] : cases)
        ExpectUnreadable(tree.WriteFile(name, data));
    ExpectUnreadable(tree.WriteFile("empty.jpg", ""), "the file is empty");
    // The log line says what the name promised.
    ExpectUnreadable(tree.WriteFile("text.TIFF", "plain text"),
                     "not a picture format the built-in loader reads (named like TIFF)");
    ExpectUnreadable(tree.WriteFile("text.doc", "plain text"), "not a picture format the built-in loader reads");
    ExpectUnreadable(tree.Path() + "/missing.png");
    ExpectUnreadable(tree.MakeDir("folder.jpg"), "it is a folder");
    // Opening a FIFO for reading would wait for a writer.
    ASSERT_EQ(mkfifo((tree.Path() + "/fifo.jpg").toUtf8().constData(), 0600), 0);
    ExpectUnreadable(tree.Path() + "/fifo.jpg");
    // 4 GiB of nothing behind the signatures of three formats: no read of
    // the whole file, no allocation of its size.
    for (const QByteArray& head : {QByteArray("\xFF\xD8\xFF\xE0"), QByteArray("\x89PNG\r\n\x1a\n"), QByteArray("BM")}) {
        const QString path = tree.WriteFile("sparse-" + QString::number(head.size()) + ".jpg", head);
        ASSERT_EQ(truncate(path.toUtf8().constData(), off_t(4) << 30), 0);
        ExpectUnreadable(path);
    }
    // Sizes that cannot be drawn.
    auto picture = PictureFile::Open(tree.WriteFile("q.png", Encode(Quadrants(4, 4), "png")));
    for (const QSize size : {QSize(0, 10), QSize(-5, 10), QSize(100000, 100000)})
        EXPECT_THROW(picture->Render(size), RuntimeError) << size.width();
}

} // namespace
