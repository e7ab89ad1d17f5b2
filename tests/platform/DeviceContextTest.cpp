#include <gtest/gtest.h>

#include <set>

#include <QImage>

#include "DibTestData.h"
#include "platform/DeviceContext.h"

namespace {

constexpr QRgb kGrey = 0xFF808080;

QRgb At(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFF; }

// A 2 x 2 checker, 24 bits bottom-up: top row red, green; bottom row blue, white.
TestDib Checker()
{
    TestDib d = MakeDib(2, 2, 24);
    d.bits.assign(16, 0);
    const unsigned char bottom[6] = {0xFF, 0, 0, 0xFF, 0xFF, 0xFF};
    const unsigned char top[6] = {0, 0, 0xFF, 0, 0xFF, 0};
    std::memcpy(d.bits.data(), bottom, 6);
    std::memcpy(d.bits.data() + 8, top, 6);
    return d;
}

struct Surface {
    QImage image;
    HDC hdc;
    Surface(int w, int h) : image(w, h, QImage::Format_RGB32)
    {
        image.fill(kGrey);
        hdc = CreateImageDC(&image);
    }
    ~Surface() { DeleteDC(hdc); }
    int Draw(const TestDib& d, int x, int y, int w, int h, int sx, int sy, int sw, int sh)
    {
        return StretchDIBits(hdc, x, y, w, h, sx, sy, sw, sh, d.Bits(), d.Info(), DIB_RGB_COLORS, SRCCOPY);
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
    EXPECT_EQ(GetStretchBltMode(ha), COLORONCOLOR);
    EXPECT_EQ(GetStretchBltMode(hb), BLACKONWHITE); // modes are per context
    EXPECT_EQ(SetStretchBltMode(ha, 0), 0);
    EXPECT_EQ(SetStretchBltMode(ha, 5), 0);
    EXPECT_EQ(GetStretchBltMode(ha), COLORONCOLOR); // refused modes change nothing
    // Save, switch, restore, as the plug-in drawing does.
    const int saved = GetStretchBltMode(ha);
    SetStretchBltMode(ha, HALFTONE);
    EXPECT_EQ(SetStretchBltMode(ha, saved), HALFTONE);
    EXPECT_EQ(GetStretchBltMode(ha), COLORONCOLOR);

    DeleteDC(ha);
    EXPECT_EQ(GetStretchBltMode(ha), 0);
    EXPECT_EQ(SetStretchBltMode(ha, HALFTONE), 0);
    EXPECT_EQ(GetStretchBltMode(hb), BLACKONWHITE);
    DeleteDC(hb);
    DeleteDC(hb); // twice is harmless
    EXPECT_EQ(GetStretchBltMode(0), 0);
    EXPECT_EQ(GetStretchBltMode(-7), 0);
}

TEST(DeviceContext, StretchFailures)
{
    TestDib d = Checker();
    Surface s(8, 8);
    const QImage before = s.image;
    EXPECT_EQ(StretchDIBits(9999999, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), d.Info(), DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), d.Info(), 1, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), d.Info(), DIB_RGB_COLORS, 0x00EE0086), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, nullptr, d.Info(), DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(s.hdc, 0, 0, 8, 8, 0, 0, 2, 2, d.Bits(), nullptr, DIB_RGB_COLORS, SRCCOPY), 0);
    TestDib bad = Checker();
    bad.Header().biBitCount = 7;
    EXPECT_EQ(s.Draw(bad, 0, 0, 8, 8, 0, 0, 2, 2), 0);
    EXPECT_EQ(s.Draw(d, 0, 0, 0, 8, 0, 0, 2, 2), 0);
    EXPECT_EQ(s.image, before);
}

TEST(DeviceContext, NearestKeepsPureColoursAndReturnsLines)
{
    TestDib d = Checker();
    for (int mode : {BLACKONWHITE, WHITEONBLACK, COLORONCOLOR}) {
        Surface s(100, 100);
        SetStretchBltMode(s.hdc, mode);
        EXPECT_EQ(s.Draw(d, 0, 0, 100, 100, 0, 0, 2, 2), 2);
        std::set<QRgb> colours;
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 100; ++x)
                colours.insert(At(s.image, x, y));
        EXPECT_EQ(colours, (std::set<QRgb>{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF})) << mode;
        EXPECT_EQ(At(s.image, 49, 49), 0xFF0000u);
        EXPECT_EQ(At(s.image, 50, 49), 0x00FF00u);
        EXPECT_EQ(At(s.image, 49, 50), 0x0000FFu);
        EXPECT_EQ(At(s.image, 50, 50), 0xFFFFFFu);
    }
}

TEST(DeviceContext, HalftoneSmooths)
{
    TestDib d = Checker();
    Surface s(100, 100);
    SetStretchBltMode(s.hdc, HALFTONE);
    EXPECT_EQ(s.Draw(d, 0, 0, 100, 100, 0, 0, 2, 2), 2);
    EXPECT_EQ(At(s.image, 0, 0), 0xFF0000u); // corners keep their colour
    EXPECT_EQ(At(s.image, 99, 99), 0xFFFFFFu);
    const QRgb mid = s.image.pixel(50, 25);
    EXPECT_GT(qRed(mid), 20);
    EXPECT_GT(qGreen(mid), 20);
    EXPECT_LT(qRed(mid), 235); // between red and green
    std::set<QRgb> colours;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            colours.insert(At(s.image, x, y));
    EXPECT_GT(colours.size(), 10u);
}

TEST(DeviceContext, HalftoneReducesByAveraging)
{
    // 64 x 64 stripes of black and white, reduced to 8 x 8: grey, not stripes.
    TestDib d = MakePaletteDib(64, 64, 8, {0x000000, 0xFFFFFF});
    d.bits.assign(64 * 64, 0);
    for (int i = 0; i < 64 * 64; ++i)
        d.bits[std::size_t(i)] = (i % 2) ? 1 : 0;
    Surface s(8, 8);
    SetStretchBltMode(s.hdc, HALFTONE);
    EXPECT_EQ(s.Draw(d, 0, 0, 8, 8, 0, 0, 64, 64), 64);
    for (int x = 0; x < 8; ++x)
        EXPECT_NEAR(qRed(s.image.pixel(x, 4)), 128, 20) << x;
}

TEST(DeviceContext, ClippingAtNegativeCoordinatesAndBeyondTheSurface)
{
    TestDib d = Checker();
    for (int mode : {COLORONCOLOR, HALFTONE}) {
        // Destination 20 x 20 at (-10, -10): only its white quarter shows.
        Surface s(20, 20);
        SetStretchBltMode(s.hdc, mode);
        EXPECT_EQ(s.Draw(d, -10, -10, 20, 20, 0, 0, 2, 2), 2) << mode;
        // (Smoothing blends towards the centre of the checker, so the
        // exact corners are only pure when sampling nearest.)
        if (mode == COLORONCOLOR) {
            EXPECT_EQ(At(s.image, 0, 0), 0xFFFFFFu);
        }
        EXPECT_EQ(At(s.image, 8, 8), 0xFFFFFFu) << mode;
        EXPECT_EQ(s.image.pixel(10, 10), kGrey) << mode;
        EXPECT_EQ(s.image.pixel(0, 10), kGrey) << mode;

        // Destination past the right and bottom edges: red quarter shows.
        Surface t(20, 20);
        SetStretchBltMode(t.hdc, mode);
        EXPECT_EQ(t.Draw(d, 10, 10, 20, 20, 0, 0, 2, 2), 2) << mode;
        if (mode == COLORONCOLOR) {
            EXPECT_EQ(At(t.image, 19, 19), 0xFF0000u);
        }
        EXPECT_EQ(At(t.image, 12, 12), 0xFF0000u) << mode;
        EXPECT_EQ(At(t.image, 10, 10), 0xFF0000u) << mode;
        EXPECT_EQ(t.image.pixel(9, 9), kGrey) << mode;

        // Wholly outside: clipped away, not refused.
        Surface u(20, 20);
        SetStretchBltMode(u.hdc, mode);
        const QImage before = u.image;
        EXPECT_EQ(u.Draw(d, 500, -300, 20, 20, 0, 0, 2, 2), 2) << mode;
        EXPECT_EQ(u.Draw(d, INT_MAX - 5, INT_MAX - 5, INT_MAX, INT_MAX, 0, 0, 2, 2), 2) << mode;
        EXPECT_EQ(u.image, before) << mode;
    }
}

TEST(DeviceContext, HugeDestinationDrawsOnlyTheVisiblePart)
{
    // 20,000 px wide into 1024 px: the left half of the picture (red/blue) covers everything.
    TestDib d = Checker();
    for (int mode : {COLORONCOLOR, HALFTONE}) {
        Surface s(1024, 64);
        SetStretchBltMode(s.hdc, mode);
        EXPECT_EQ(s.Draw(d, 0, 0, 20000, 64, 0, 0, 2, 2), 2) << mode;
        EXPECT_EQ(At(s.image, 0, 0), 0xFF0000u) << mode;
        EXPECT_EQ(At(s.image, 1023, 0), 0xFF0000u) << mode;
        EXPECT_EQ(At(s.image, 1023, 63), 0x0000FFu) << mode;
    }
}

TEST(DeviceContext, MirroringAndSourceRectangle)
{
    TestDib d = Checker();
    Surface s(2, 2);
    SetStretchBltMode(s.hdc, COLORONCOLOR);
    // Negative destination width: covers [x + w, x), mirrored.
    EXPECT_EQ(s.Draw(d, 2, 0, -2, 2, 0, 0, 2, 2), 2);
    EXPECT_EQ(At(s.image, 0, 0), 0x00FF00u);
    EXPECT_EQ(At(s.image, 1, 0), 0xFF0000u);
    EXPECT_EQ(At(s.image, 0, 1), 0xFFFFFFu);
    // Negative destination height: upside down.
    EXPECT_EQ(s.Draw(d, 0, 2, 2, -2, 0, 0, 2, 2), 2);
    EXPECT_EQ(At(s.image, 0, 0), 0x0000FFu);
    EXPECT_EQ(At(s.image, 1, 1), 0x00FF00u);
    // Both signs negative: mirror twice, upright.
    EXPECT_EQ(s.Draw(d, 2, 2, -2, -2, 0, 0, -2, -2), 2);
    EXPECT_EQ(At(s.image, 0, 0), 0xFF0000u);
    EXPECT_EQ(At(s.image, 1, 1), 0xFFFFFFu);

    // Bottom-up: ySrc counts from the bottom row, so (1, 0, 1, 1) is the white pixel...
    Surface one(1, 1);
    EXPECT_EQ(one.Draw(d, 0, 0, 1, 1, 1, 0, 1, 1), 1);
    EXPECT_EQ(At(one.image, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(one.Draw(d, 0, 0, 1, 1, 0, 1, 1, 1), 1);
    EXPECT_EQ(At(one.image, 0, 0), 0xFF0000u);
    // ...while in a top-down DIB it counts from the top row.
    TestDib top = MakeDib(2, -2, 24);
    top.bits = Checker().bits; // first stored row is now the top one: blue, white
    EXPECT_EQ(one.Draw(top, 0, 0, 1, 1, 1, 0, 1, 1), 1);
    EXPECT_EQ(At(one.image, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(one.Draw(top, 0, 0, 1, 1, 0, 1, 1, 1), 1);
    EXPECT_EQ(At(one.image, 0, 0), 0xFF0000u);
}

TEST(DeviceContext, TopDownDibDrawnWithItsOwnHeightIsUpright)
{
    // The plug-in drawing passes biHeight as the source height and a
    // destination height of the same sign.
    TestDib top = MakeDib(2, -2, 24);
    top.bits = Checker().bits; // top row blue, white; bottom row red, green
    Surface s(4, 4);
    SetStretchBltMode(s.hdc, COLORONCOLOR);
    EXPECT_EQ(s.Draw(top, 0, 4, 4, -4, 0, 0, 2, -2), 2);
    EXPECT_EQ(At(s.image, 0, 0), 0x0000FFu);
    EXPECT_EQ(At(s.image, 3, 0), 0xFFFFFFu);
    EXPECT_EQ(At(s.image, 0, 3), 0xFF0000u);
    EXPECT_EQ(At(s.image, 3, 3), 0x00FF00u);
}

TEST(DeviceContext, PalettedAndRleDibsDrawn)
{
    TestDib rle = MakePaletteDib(4, 2, 8, {0x000000, 0x00FFFF}, BI_RLE8);
    rle.bits = {4, 1, 0, 1};
    rle.Header().biSizeImage = 4;
    Surface s(4, 2);
    EXPECT_EQ(s.Draw(rle, 0, 0, 4, 2, 0, 0, 4, 2), 2);
    EXPECT_EQ(At(s.image, 3, 1), 0x00FFFFu);
    EXPECT_EQ(At(s.image, 3, 0), 0x000000u); // never written: index 0
}

TEST(DeviceContext, OtherSurfaceFormats)
{
    TestDib d = Checker();
    QImage img(2, 2, QImage::Format_RGB888);
    img.fill(Qt::black);
    const HDC hdc = CreateImageDC(&img);
    EXPECT_EQ(StretchDIBits(hdc, 0, 0, 2, 2, 0, 0, 2, 2, d.Bits(), d.Info(), DIB_RGB_COLORS, SRCCOPY), 2);
    EXPECT_EQ(img.format(), QImage::Format_RGB888);
    EXPECT_EQ(At(img, 1, 0), 0x00FF00u);
    EXPECT_EQ(At(img, 0, 1), 0x0000FFu);
    DeleteDC(hdc);
}

} // namespace
