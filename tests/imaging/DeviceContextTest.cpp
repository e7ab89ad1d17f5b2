#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>

#include <QImage>

#include "DibTestData.h"
#include "imaging/DeviceContext.h"

namespace {

constexpr QRgb R = 0xFF0000, G = 0x00FF00, B = 0x0000FF, W = 0xFFFFFF, kGrey = 0x808080;

QRgb At(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFF; }

// A 2 x 2 checker, 24 bits: stored rows blue, white then red, green, so
// bottom-up the top row is red, green; top-down (height -2) it is blue, white.
TestDib Checker(int height = 2)
{
    TestDib d = MakeDib(2, height, 24);
    d.bits = {0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0xFF, 0, 0, 0};
    return d;
}

struct Surface {
    QImage image;
    HDC hdc;
    Surface(int w, int h, int mode = BLACKONWHITE) : image(w, h, QImage::Format_RGB32)
    {
        image.fill(kGrey);
        hdc = CreateImageDC(&image);
        SetStretchBltMode(hdc, mode);
    }
    ~Surface() { DeleteDC(hdc); }
    int Draw(const TestDib& d, int x, int y, int w, int h, int sx, int sy, int sw, int sh)
    {
        return StretchDIBits(hdc, x, y, w, h, sx, sy, sw, sh, d.Bits(), d.Info(), DIB_RGB_COLORS, SRCCOPY);
    }
    std::set<QRgb> Colours() const
    {
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                colours.insert(At(image, x, y));
        return colours;
    }
};

TEST(DeviceContext, HandlesAndModes)
{
    QImage a(4, 4, QImage::Format_RGB32), b(4, 4, QImage::Format_RGB32);
    const HDC ha = CreateImageDC(&a), hb = CreateImageDC(&b);
    EXPECT_GT(ha, 0);
    EXPECT_GT(hb, 0);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(CreateImageDC(nullptr), 0);
    EXPECT_EQ(GetStretchBltMode(ha), BLACKONWHITE);
    EXPECT_EQ(SetStretchBltMode(ha, COLORONCOLOR), BLACKONWHITE);
    EXPECT_EQ(GetStretchBltMode(hb), BLACKONWHITE); // modes are per context
    EXPECT_EQ(SetStretchBltMode(ha, 0), 0);
    EXPECT_EQ(SetStretchBltMode(ha, 5), 0);
    EXPECT_EQ(SetStretchBltMode(ha, HALFTONE), COLORONCOLOR); // refused modes changed nothing
    EXPECT_EQ(GetStretchBltMode(ha), HALFTONE);
    DeleteDC(ha);
    EXPECT_EQ(GetStretchBltMode(ha), 0);
    EXPECT_EQ(SetStretchBltMode(ha, HALFTONE), 0);
    EXPECT_EQ(GetStretchBltMode(hb), BLACKONWHITE);
    DeleteDC(hb);
    DeleteDC(hb); // twice is harmless
    EXPECT_EQ(GetStretchBltMode(0), 0);
    EXPECT_EQ(GetStretchBltMode(-7), 0);
}

TEST(DeviceContext, StretchFailuresDrawNothing)
{
    const TestDib d = Checker();
    TestDib bad = Checker();
    bad.Header().biBitCount = 7;
    Surface s(8, 8);
    const QImage before = s.image;
    EXPECT_EQ(StretchDIBits(9999999, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), d.Info(), DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), d.Info(), 1, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), d.Info(), DIB_RGB_COLORS, 0x00EE0086), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, nullptr, d.Info(), DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), nullptr, DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(s.Draw(bad, 0, 0, 8, 8, 0, 0, 2, 2), 0);
    EXPECT_EQ(s.Draw(d, 0, 0, 0, 8, 0, 0, 2, 2), 0);
    EXPECT_EQ(s.image, before);
}

TEST(DeviceContext, NearestKeepsPureColoursHalftoneSmooths)
{
    for (int mode : {BLACKONWHITE, WHITEONBLACK, COLORONCOLOR}) {
        Surface s(100, 100, mode);
        EXPECT_EQ(s.Draw(Checker(), 0, 0, 100, 100, 0, 0, 2, 2), 2);
        EXPECT_EQ(s.Colours(), (std::set<QRgb>{R, G, B, W})) << mode;
        EXPECT_EQ(At(s.image, 49, 49), R) << mode;
        EXPECT_EQ(At(s.image, 50, 49), G) << mode;
        EXPECT_EQ(At(s.image, 49, 50), B) << mode;
        EXPECT_EQ(At(s.image, 50, 50), W) << mode;
    }
    Surface s(100, 100, HALFTONE);
    EXPECT_EQ(s.Draw(Checker(), 0, 0, 100, 100, 0, 0, 2, 2), 2);
    EXPECT_EQ(At(s.image, 0, 0), R); // corners keep their colour
    EXPECT_EQ(At(s.image, 99, 99), W);
    const QRgb mid = s.image.pixel(50, 25); // between red and green
    EXPECT_GT(qRed(mid), 20);
    EXPECT_GT(qGreen(mid), 20);
    EXPECT_LT(qRed(mid), 235);
    EXPECT_GT(s.Colours().size(), 10u);

    // 64 x 64 stripes of black and white reduced to 8 x 8: grey, not stripes.
    TestDib stripes = MakePaletteDib(64, 64, 8, {0x000000, 0xFFFFFF});
    for (int i = 0; i < 64 * 64; ++i)
        stripes.bits.push_back(i % 2);
    Surface small(8, 8, HALFTONE);
    EXPECT_EQ(small.Draw(stripes, 0, 0, 8, 8, 0, 0, 64, 64), 64);
    for (int x = 0; x < 8; ++x)
        EXPECT_NEAR(qRed(small.image.pixel(x, 4)), 128, 20) << x;

    // A part of a picture reduced and mirrored: the top 16 rows blue, below
    // them columns 0-15 red, 16-31 white and the rest stripes. The part
    // (16, 16)-(64, 64) drawn mirrored into 8 x 8 has neither red nor blue,
    // white on the right and grey on the left.
    TestDib part = MakePaletteDib(64, 64, 8, {0x000000, 0xFFFFFF, 0xFF0000, 0x0000FF});
    for (int stored = 0; stored < 64; ++stored) // bottom-up
        for (int x = 0; x < 64; ++x)
            part.bits.push_back(std::uint8_t(63 - stored < 16 ? 3 : x < 16 ? 2 : x < 32 ? 1 : x % 2));
    Surface mirrored(8, 8, HALFTONE);
    EXPECT_EQ(mirrored.Draw(part, 8, 0, -8, 8, 16, 0, 48, 48), 48);
    for (int y = 0; y < 8; ++y) {
        EXPECT_EQ(At(mirrored.image, 7, y), W) << y;
        EXPECT_EQ(At(mirrored.image, 6, y), W) << y;
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(At(mirrored.image, x, y), kGrey) << x << "," << y;
    }
}

TEST(DeviceContext, RectanglesClipMirrorAndPickTheSource)
{
    constexpr int N = COLORONCOLOR, H = HALFTONE;
    const struct Row {
        const char* label;
        int mode, height, surfaceW, surfaceH;
        int x, y, w, h, sx, sy, sw, sh;
        std::vector<std::tuple<int, int, QRgb>> expect;
    } rows[] = {
        {"mirrored x", N, 2, 2, 2, 2, 0, -2, 2, 0, 0, 2, 2, {{0, 0, G}, {1, 0, R}, {0, 1, W}}},
        {"mirrored y", N, 2, 2, 2, 0, 2, 2, -2, 0, 0, 2, 2, {{0, 0, B}, {1, 1, G}}},
        {"mirrored twice", N, 2, 2, 2, 2, 2, -2, -2, 0, 0, -2, -2, {{0, 0, R}, {1, 1, W}}},
        // The source rectangle still picks the upper row when the destination is mirrored.
        {"mirrored y, upper row only", N, 2, 2, 1, 0, 1, 2, -1, 0, 1, 2, 1, {{0, 0, R}, {1, 0, G}}},
        {"mirrored x, source past the picture", N, 2, 4, 2, 4, 0, -4, 2, 0, 0, 4, 2, {{0, 0, kGrey}, {2, 0, G}, {3, 0, R}}},
        {"mirrored x, source past the picture", H, 2, 4, 2, 4, 0, -4, 2, 0, 0, 4, 2, {{0, 0, kGrey}, {3, 0, R}}},
        // Bottom-up, ySrc counts from the bottom row; top-down, from the top row.
        {"bottom-up (1, 0)", BLACKONWHITE, 2, 1, 1, 0, 0, 1, 1, 1, 0, 1, 1, {{0, 0, W}}},
        {"bottom-up (0, 1)", BLACKONWHITE, 2, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1, {{0, 0, R}}},
        {"top-down (1, 0)", BLACKONWHITE, -2, 1, 1, 0, 0, 1, 1, 1, 0, 1, 1, {{0, 0, W}}},
        {"top-down (0, 1)", BLACKONWHITE, -2, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1, {{0, 0, R}}},
        // As the plug-in drawing does it: biHeight as source height, destination of the same sign.
        {"top-down with its own height", N, -2, 4, 4, 0, 4, 4, -4, 0, 0, 2, -2,
         {{0, 0, B}, {3, 0, W}, {0, 3, R}, {3, 3, G}}},
        {"at (-10, -10)", N, 2, 20, 20, -10, -10, 20, 20, 0, 0, 2, 2,
         {{0, 0, W}, {8, 8, W}, {10, 10, kGrey}, {0, 10, kGrey}}},
        {"at (-10, -10)", H, 2, 20, 20, -10, -10, 20, 20, 0, 0, 2, 2, {{8, 8, W}, {10, 10, kGrey}, {0, 10, kGrey}}},
        {"past right and bottom", N, 2, 20, 20, 10, 10, 20, 20, 0, 0, 2, 2,
         {{19, 19, R}, {12, 12, R}, {10, 10, R}, {9, 9, kGrey}}},
        {"past right and bottom", H, 2, 20, 20, 10, 10, 20, 20, 0, 0, 2, 2, {{12, 12, R}, {10, 10, R}, {9, 9, kGrey}}},
        // 20,000 px wide into 1024: the left half of the picture covers everything.
        {"huge", N, 2, 1024, 64, 0, 0, 20000, 64, 0, 0, 2, 2, {{0, 0, R}, {1023, 0, R}, {1023, 63, B}}},
        {"huge", H, 2, 1024, 64, 0, 0, 20000, 64, 0, 0, 2, 2, {{0, 0, R}, {1023, 0, R}, {1023, 63, B}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.label) + " mode " + std::to_string(r.mode));
        Surface s(r.surfaceW, r.surfaceH, r.mode);
        EXPECT_EQ(s.Draw(Checker(r.height), r.x, r.y, r.w, r.h, r.sx, r.sy, r.sw, r.sh), std::abs(r.sh));
        for (const auto& [x, y, colour] : r.expect)
            EXPECT_EQ(At(s.image, x, y), colour) << x << "," << y;
    }
    // Wholly outside: clipped away, not refused.
    for (int mode : {N, H}) {
        Surface s(20, 20, mode);
        const QImage before = s.image;
        EXPECT_EQ(s.Draw(Checker(), 500, -300, 20, 20, 0, 0, 2, 2), 2) << mode;
        EXPECT_EQ(s.Draw(Checker(), INT_MAX - 5, INT_MAX - 5, INT_MAX, INT_MAX, 0, 0, 2, 2), 2) << mode;
        EXPECT_EQ(s.image, before) << mode;
    }
}

TEST(DeviceContext, RleDibsAndOtherSurfaceFormats)
{
    TestDib rle = MakePaletteDib(4, 2, 8, {0x000000, 0x00FFFF}, BI_RLE8);
    rle.bits = {4, 1, 0, 1};
    rle.Header().biSizeImage = 4;
    Surface s(4, 2);
    EXPECT_EQ(s.Draw(rle, 0, 0, 4, 2, 0, 0, 4, 2), 2);
    EXPECT_EQ(At(s.image, 3, 1), 0x00FFFFu);
    EXPECT_EQ(At(s.image, 3, 0), 0x000000u); // never written: index 0

    QImage img(2, 2, QImage::Format_RGB888);
    img.fill(Qt::black);
    const HDC hdc = CreateImageDC(&img);
    const TestDib d = Checker();
    EXPECT_EQ(StretchDIBits(hdc, 0, 0, 2, 2, 0, 0, 2, 2, d.Bits(), d.Info(), DIB_RGB_COLORS, SRCCOPY), 2);
    EXPECT_EQ(img.format(), QImage::Format_RGB888);
    EXPECT_EQ(At(img, 1, 0), G);
    EXPECT_EQ(At(img, 0, 1), B);
    DeleteDC(hdc);
}

} // namespace

// The same 3 x 2 picture at every depth the interface allows, drawn at twice
// its size: each depth's pixels are read from their own place in the rows.
TEST(DeviceContext, EveryDepthSamplesItsOwnPixels)
{
    const QRgb want[2][3] = {{0xFF0000, 0x00FF00, 0x0000FF}, {0xFFFFFF, 0x000000, 0xFF00FF}}; // top row first
    std::vector<std::pair<const char*, TestDib>> dibs;
    {
        TestDib d = MakeDib(3, -2, 32); // top-down
        for (const auto& row : want)
            for (QRgb c : row)
                d.bits.insert(d.bits.end(), {std::uint8_t(qBlue(c)), std::uint8_t(qGreen(c)), std::uint8_t(qRed(c)), 0x55});
        dibs.emplace_back("32", d);
    }
    {
        TestDib d = MakeDib(3, 2, 24); // bottom-up, rows padded to 12 bytes
        for (int r = 1; r >= 0; --r) {
            for (QRgb c : want[r])
                d.bits.insert(d.bits.end(), {std::uint8_t(qBlue(c)), std::uint8_t(qGreen(c)), std::uint8_t(qRed(c))});
            d.bits.resize(d.bits.size() + 3);
        }
        dibs.emplace_back("24", d);
    }
    {
        TestDib d = MakeDib(3, 2, 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}); // 5-6-5
        for (int r = 1; r >= 0; --r) {
            for (QRgb c : want[r]) {
                const unsigned v = (qRed(c) >> 3) << 11 | (qGreen(c) >> 2) << 5 | qBlue(c) >> 3;
                d.bits.insert(d.bits.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
            }
            d.bits.resize(d.bits.size() + 2);
        }
        dibs.emplace_back("16", d);
    }
    {
        TestDib d = MakePaletteDib(3, 2, 8, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0xFF00FF});
        d.bits = {3, 4, 5, 0, 0, 1, 2, 0};
        dibs.emplace_back("8", d);
    }
    for (const auto& [name, dib] : dibs) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(dib.Check());
        Surface s(6, 4, COLORONCOLOR);
        const int height = dib.Info()->bmiHeader.biHeight;
        EXPECT_EQ(s.Draw(dib, 0, 0, 6, 4, 0, 0, 3, std::abs(height)), 2);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                EXPECT_EQ(At(s.image, x, y), want[y / 2][x / 2]) << x << "," << y;
    }
}
