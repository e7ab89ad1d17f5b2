// ifqtimg.spi through the bridge, on WebP, TIFF and TGA files: WebP and TIFF
// written by Qt, TGA (which Qt reads but cannot write) by hand.
#include "SpiHost.h"

namespace {

QByteArray Plugin() { return ShippedPlugin("ifqtimg.spi"); }

void PutLe16(QByteArray& b, int at, unsigned v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

// An uncompressed 24-bit TGA; rows bottom-up unless topDown; with the TGA
// 2.0 footer or without it (as older writers leave it).
QByteArray Tga(const QImage& image, bool topDown = false, bool footer = false)
{
    QByteArray b(18, '\0');
    b[2] = 2; // true colour
    PutLe16(b, 12, unsigned(image.width()));
    PutLe16(b, 14, unsigned(image.height()));
    b[16] = 24;
    b[17] = topDown ? 0x20 : 0x00;
    for (int row = 0; row < image.height(); ++row)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, topDown ? row : image.height() - 1 - row);
            b.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c)));
        }
    return footer ? b + QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.", 18) : b;
}

} // namespace

TEST(IfQtImg, PluginInfoPairs)
{
    EXPECT_FALSE(PluginText(Plugin(), 1).isEmpty());
    const char* const texts[] = {"00IN", nullptr, "*.webp", "WebP 画像", "*.tif;*.tiff", "TIFF 画像", "*.tga", "TGA 画像", ""};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(PluginText(Plugin(), i), texts[i] ? texts[i] : PluginText(Plugin(), i)) << i;
}

TEST(IfQtImg, SupportByContent)
{
    TempTree tree;
    const QImage q = Quadrants(32, 32);
    // The answer minus one picks the pair: WebP 1, TIFF 2, TGA 3. TGA has no
    // signature: a plausible header (tests/codecs) counts only under a .tga name.
    const struct { const char* name; QByteArray bytes; int expected; } rows[] = {
        {"a.webp", Encode(q, "webp"), 1}, {"webp.jpg", Encode(q, "webp"), 1}, {"a.tif", Encode(q, "tiff"), 2},
        {"tiff.png", Encode(q, "tiff"), 2}, {"be.dat", QByteArray("MM\0*\0\0\0\x08", 8), 2}, {"a.tga", Tga(q), 3},
        {"UPPER.TGA", Tga(q, true), 3}, {"tga.bin", Tga(q), 0}, {"png.tga", Encode(q, "png"), 0},
        {"jpeg.tga", Encode(q, "jpeg"), 0}, {"text.tga", "hello, world\n", 0},
        {"a.png", Encode(q, "png"), 0}, {"a.bmp", Encode(q, "bmp"), 0}, // formats Qt lists already
    };
    for (const auto& r : rows)
        EXPECT_EQ(Supported(Plugin(), tree.WriteFile(r.name, r.bytes)), r.expected) << r.name;
}

// The stored orientation (TIFF) is the codec library's, tested with the
// built-in loader (tests/imaging/FormatTest.cpp).
TEST(IfQtImg, DecodesWebPTiffAndTga)
{
    const QImage q = Quadrants(30, 22);
    const struct { const char* what; QByteArray bytes; QImage expected; int tolerance; } rows[] = {
        {"webp", Encode(Quadrants(64, 64), "webp", 90), Quadrants(64, 64), 40},
        {"lossless webp", Encode(q, "webp", 100), q, 0},
        {"tiff", Encode(q, "tiff"), q, 0},
        {"tga", Tga(q), q, 0}, {"top-down tga", Tga(q, true), q, 0},
        {"tga 2.0", Tga(q, false, true), q, 0}, {"top-down tga 2.0", Tga(q, true, true), q, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ExpectDecodes(Plugin(), r.bytes, r.expected, r.tolerance);
    }
}

TEST(IfQtImg, AnA4PageScannedAt600DpiDecodesAndCancelsBetweenRows)
{
    // 4960 x 7016 takes 139 MB in Qt, above its own default limit.
    QImage page(4960, 7016, QImage::Format_RGB32);
    page.fill(QColor(200, 190, 180));
    TempTree tree;
    for (const char* format : {"tiff", "webp"}) {
        SCOPED_TRACE(format);
        const Decoded d = DecodeFile(Plugin(), tree.WriteFile(format, Encode(page, format, 100)));
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.image.size(), page.size());
        EXPECT_EQ(d.image.pixelColor(4000, 6000), QColor(200, 190, 180));
    }
    // The DIB's rows ask again every 256 rows: a cancel there ends the call.
    static int rowCalls;
    rowCalls = 0;
    const auto cancelInRows = [](int num, int denom, std::intptr_t) {
        return int(num > 50 && num < denom && ++rowCalls == 3);
    };
    const Decoded cancelled = DecodeFile(Plugin(), tree.Path() + "/tiff", 0, cancelInRows);
    EXPECT_EQ(cancelled.rc, 1);
    EXPECT_TRUE(cancelled.bothNullOnFailure);
    EXPECT_EQ(rowCalls, 3);
}

TEST(IfQtImg, DamagedMissingAndOversizedInputGiveErrorCodes)
{
    const QByteArray tiff = Encode(Quadrants(64, 64), "tiff"), webp = Encode(Quadrants(64, 64), "webp");
    // 30000 x 20000 at 3 bytes a pixel is 1.8 GB: refused before decoding.
    QByteArray huge = Tga(Quadrants(4, 4));
    PutLe16(huge, 12, 30000);
    PutLe16(huge, 14, 20000);
    ExpectRefused(Plugin(), {tiff.left(8), tiff.left(tiff.size() / 2), webp.left(webp.size() / 2),
                             Tga(Quadrants(30, 22)).left(18 + 30 * 3 * 5)}, // rows missing
                  huge, true);
    EXPECT_EQ(DecodeMemory(Plugin(), webp.left(webp.size() / 2)).rc, 3);
    EXPECT_EQ(DecodeMemory(Plugin(), Encode(Quadrants(8, 8), "png")).rc, 2);
}
