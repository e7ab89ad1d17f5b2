#include <gtest/gtest.h>

#include <climits>

#include "DibTestData.h"

namespace {

QRgb At(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFF; }

// ---- decoding: every depth, exact colours -------------------------------

TEST(DibDecode, OneBitWithColourTableBottomUp)
{
    // 10 x 2: bottom row stored first.
    TestDib d = MakePaletteDib(10, 2, 1, {0x112233, 0xAABBCC});
    d.bits.assign(DibStride(10, 1) * 2, 0);
    d.bits[0] = 0b10000000; // bottom row: x 0 set
    d.bits[1] = 0b01000000; // bottom row: x 9 set
    d.bits[4] = 0b00000001; // top row: x 7 set
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    ASSERT_EQ(img.size(), QSize(10, 2));
    EXPECT_EQ(img.format(), QImage::Format_RGB32);
    EXPECT_EQ(At(img, 0, 1), 0xAABBCCu);
    EXPECT_EQ(At(img, 1, 1), 0x112233u);
    EXPECT_EQ(At(img, 9, 1), 0xAABBCCu);
    EXPECT_EQ(At(img, 7, 0), 0xAABBCCu);
    EXPECT_EQ(At(img, 0, 0), 0x112233u);
}

TEST(DibDecode, FourBitNibblesAndIndexBeyondTableIsBlack)
{
    TestDib d = MakePaletteDib(3, -1, 4, {0xFF0000, 0x00FF00, 0x0000FF});
    d.bits = {0x12, 0xF0, 0, 0}; // indices 1, 2, 15 (beyond the table)
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    ASSERT_EQ(img.size(), QSize(3, 1));
    EXPECT_EQ(At(img, 0, 0), 0x00FF00u);
    EXPECT_EQ(At(img, 1, 0), 0x0000FFu);
    EXPECT_EQ(At(img, 2, 0), 0x000000u);
}

TEST(DibDecode, EightBitFullTableWhenClrUsedIsZero)
{
    TestDib d = MakeDib(2, 1, 8, BI_RGB, 256 * 4);
    d.info[40 + 4 * 200 + 2] = 0x80; // index 200: red 0x80
    d.info[40 + 4 * 255 + 0] = 0x01; // index 255: blue 0x01
    d.bits = {200, 255, 0, 0};
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    EXPECT_EQ(At(img, 0, 0), 0x800000u);
    EXPECT_EQ(At(img, 1, 0), 0x000001u);
}

TEST(DibDecode, SixteenBit555AndBitFields)
{
    TestDib d = MakeDib(3, 1, 16);
    // 5-5-5: full red, full green, half blue (15 of 31).
    const std::uint16_t px[3] = {0x7C00, 0x03E0, 0x000F};
    d.bits.assign(8, 0);
    std::memcpy(d.bits.data(), px, sizeof px);
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    EXPECT_EQ(At(img, 0, 0), 0xFF0000u);
    EXPECT_EQ(At(img, 1, 0), 0x00FF00u);
    EXPECT_EQ(At(img, 2, 0), 0x00007Bu); // 15 * 255 / 31 rounded

    TestDib f = MakeDib(2, 1, 16, BI_BITFIELDS, 12);
    SetMasks(f, 0xF800, 0x07E0, 0x001F); // 5-6-5
    const std::uint16_t fp[2] = {0xFFFF, 0x07E0};
    f.bits.assign(4, 0);
    std::memcpy(f.bits.data(), fp, sizeof fp);
    ASSERT_TRUE(f.Check());
    img = DibToImage(f.Info(), f.Bits());
    EXPECT_EQ(At(img, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(At(img, 1, 0), 0x00FF00u);
}

TEST(DibDecode, TwentyFourBitRowsPaddedTopDownAndBottomUp)
{
    for (int sign : {1, -1}) {
        TestDib d = MakeDib(1, 2 * sign, 24);
        d.bits.assign(8, 0); // stride 4
        d.bits[0] = 0x01, d.bits[1] = 0x02, d.bits[2] = 0x03; // first stored row: BGR
        d.bits[4] = 0x0A, d.bits[5] = 0x0B, d.bits[6] = 0x0C;
        ASSERT_TRUE(d.Check());
        QImage img = DibToImage(d.Info(), d.Bits());
        ASSERT_EQ(img.size(), QSize(1, 2));
        const int firstRowY = sign > 0 ? 1 : 0;
        EXPECT_EQ(At(img, 0, firstRowY), 0x030201u) << sign;
        EXPECT_EQ(At(img, 0, 1 - firstRowY), 0x0C0B0Au) << sign;
    }
}

TEST(DibDecode, ThirtyTwoBitPlainAndBitFields)
{
    TestDib d = MakeDib(1, 1, 32);
    d.bits = {0x10, 0x20, 0x30, 0x99};
    ASSERT_TRUE(d.Check());
    EXPECT_EQ(At(DibToImage(d.Info(), d.Bits()), 0, 0), 0x302010u);

    TestDib f = MakeDib(2, 1, 32, BI_BITFIELDS, 12);
    // 10-10-10 masks: red in the low bits, blue on top.
    SetMasks(f, 0x000003FF, 0x000FFC00, 0x3FF00000);
    const std::uint32_t px[2] = {0x3FFu | (0x200u << 10), 0x3FFu << 20};
    f.bits.assign(8, 0);
    std::memcpy(f.bits.data(), px, sizeof px);
    ASSERT_TRUE(f.Check());
    QImage img = DibToImage(f.Info(), f.Bits());
    EXPECT_EQ(At(img, 0, 0), 0xFF8000u); // 0x200 of 0x3FF is 128
    EXPECT_EQ(At(img, 1, 0), 0x0000FFu);
}

// ---- RLE ----------------------------------------------------------------

TEST(DibDecode, Rle8RunsAbsoluteDeltaEndOfLine)
{
    TestDib d = MakePaletteDib(6, 3, 8, {0x000080, 0xFF0000, 0x00FF00, 0x0000FF}, BI_RLE8);
    d.bits = {
        3, 1,             // bottom row: 3 x red
        0, 3, 2, 3, 1, 0, // absolute: green, blue, red + pad byte
        0, 0,             // end of line
        0, 2, 2, 1,       // delta: 2 right, 1 up -> row 2 (top), x 2
        2, 2,             // 2 x green at x 2, 3
        0, 1,             // end of bitmap
    };
    d.Header().biSizeImage = std::uint32_t(d.bits.size());
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    ASSERT_EQ(img.size(), QSize(6, 3));
    const QRgb expectBottom[6] = {0xFF0000, 0xFF0000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFF0000};
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(At(img, x, 2), expectBottom[x]) << x;
    // The middle row was skipped by the delta: index 0 colour.
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(At(img, x, 1), 0x000080u) << x;
    EXPECT_EQ(At(img, 1, 0), 0x000080u);
    EXPECT_EQ(At(img, 2, 0), 0x00FF00u);
    EXPECT_EQ(At(img, 3, 0), 0x00FF00u);
    EXPECT_EQ(At(img, 4, 0), 0x000080u);
}

TEST(DibDecode, Rle4AlternatesNibblesAndPadsAbsoluteRuns)
{
    TestDib d = MakePaletteDib(5, 2, 4, {0x000000, 0x111111, 0x222222, 0x333333}, BI_RLE4);
    d.bits = {
        5, 0x12,          // 1 2 1 2 1
        0, 0,             // end of line
        0, 3, 0x32, 0x10, // absolute 3 pixels: 3 2 1 (2 bytes, already even)
        0, 1,
    };
    d.Header().biSizeImage = std::uint32_t(d.bits.size());
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    const QRgb bottom[5] = {0x111111, 0x222222, 0x111111, 0x222222, 0x111111};
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(At(img, x, 1), bottom[x]) << x;
    EXPECT_EQ(At(img, 0, 0), 0x333333u);
    EXPECT_EQ(At(img, 1, 0), 0x222222u);
    EXPECT_EQ(At(img, 2, 0), 0x111111u);
    EXPECT_EQ(At(img, 3, 0), 0x000000u);

    // An odd absolute run of 3 bytes (RLE4: 5 pixels) is padded to 4 bytes.
    TestDib p = MakePaletteDib(6, 1, 4, {0x000000, 0x111111, 0x222222, 0x333333}, BI_RLE4);
    p.bits = {0, 5, 0x12, 0x31, 0x20, 0xEE, 1, 0x30, 0, 1};
    p.Header().biSizeImage = std::uint32_t(p.bits.size());
    ASSERT_TRUE(p.Check());
    img = DibToImage(p.Info(), p.Bits());
    const QRgb row[6] = {0x111111, 0x222222, 0x333333, 0x111111, 0x222222, 0x333333};
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(At(img, x, 0), row[x]) << x;
}

TEST(DibDecode, RleRunsPastRowAndPictureAreCut)
{
    TestDib d = MakePaletteDib(4, 2, 8, {0x000000, 0xFFFFFF, 0xFF0000}, BI_RLE8);
    d.bits = {
        200, 1,             // far past the row: cut at 4 pixels, no wrap
        0, 6, 2, 2, 2, 2, 2, 2, // absolute run past the row
        0, 2, 250, 250,     // delta far beyond the picture
        255, 2,             // nothing left to write
        0, 0, 0, 0, 0, 0, 9, 9, // further lines past the top
    };
    d.Header().biSizeImage = std::uint32_t(d.bits.size());
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    ASSERT_EQ(img.size(), QSize(4, 2));
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(At(img, x, 1), 0xFFFFFFu) << x; // bottom row: the first run only
        EXPECT_EQ(At(img, x, 0), 0x000000u) << x; // never written
    }
}

TEST(DibDecode, RleReadsNoFurtherThanSizeImage)
{
    // The data promises an absolute run of 8 but biSizeImage ends before it;
    // the bytes behind biSizeImage would paint red.
    TestDib d = MakePaletteDib(8, 1, 8, {0x000000, 0xFF0000}, BI_RLE8);
    d.bits = {2, 1, 0, 8, 1, 1, 1, 1, 1, 1, 1, 1};
    d.Header().biSizeImage = 6;
    ASSERT_TRUE(d.Check());
    QImage img = DibToImage(d.Info(), d.Bits());
    EXPECT_EQ(At(img, 1, 0), 0xFF0000u);
    EXPECT_EQ(At(img, 2, 0), 0x000000u);
    EXPECT_EQ(At(img, 7, 0), 0x000000u);
}

// ---- hostile blocks -----------------------------------------------------

TEST(DibCheck, AcceptsValidAndRefusesBadHeaderFields)
{
    auto ok = [] {
        TestDib d = MakeDib(4, 4, 24);
        d.bits.assign(DibStride(4, 24) * 4, 0);
        return d;
    };
    std::string why;
    EXPECT_TRUE(ok().Check(&why)) << why;

    struct Case {
        const char* name;
        void (*spoil)(BITMAPINFOHEADER&);
    } cases[] = {
        {"biSize below 40", [](BITMAPINFOHEADER& h) { h.biSize = 12; }},
        {"width 0", [](BITMAPINFOHEADER& h) { h.biWidth = 0; }},
        {"width negative", [](BITMAPINFOHEADER& h) { h.biWidth = -4; }},
        {"height 0", [](BITMAPINFOHEADER& h) { h.biHeight = 0; }},
        {"height INT_MIN", [](BITMAPINFOHEADER& h) { h.biHeight = INT_MIN; }},
        {"planes 2", [](BITMAPINFOHEADER& h) { h.biPlanes = 2; }},
        {"bits 2", [](BITMAPINFOHEADER& h) { h.biBitCount = 2; }},
        {"bits 0", [](BITMAPINFOHEADER& h) { h.biBitCount = 0; }},
        {"compression 4 (JPEG)", [](BITMAPINFOHEADER& h) { h.biCompression = 4; }},
        {"RLE8 with 24 bits", [](BITMAPINFOHEADER& h) { h.biCompression = BI_RLE8; h.biSizeImage = 4; }},
        {"bit fields with 24 bits", [](BITMAPINFOHEADER& h) { h.biCompression = BI_BITFIELDS; }},
    };
    for (const Case& c : cases) {
        TestDib d = ok();
        d.info.resize(40 + 12, 0);
        c.spoil(d.Header());
        why.clear();
        EXPECT_FALSE(d.Check(&why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
        EXPECT_TRUE(DibToImage(d.Info(), d.Bits()).isNull()) << c.name;
    }
}

TEST(DibCheck, RefusesBlocksThatDoNotFit)
{
    // Header bigger than its block.
    TestDib big = MakeDib(1, 1, 24);
    big.bits.assign(4, 0);
    big.Header().biSize = 124;
    EXPECT_FALSE(big.Check());
    big.info.resize(124, 0);
    EXPECT_TRUE(big.Check()); // a V5-sized header in a block that holds it

    // Info block shorter than a header at all.
    TestDib tiny = MakeDib(1, 1, 24);
    tiny.bits.assign(4, 0);
    EXPECT_FALSE(CheckDibBlocks(tiny.info.data(), 39, tiny.bits.data(), 4));
    EXPECT_FALSE(CheckDibBlocks(nullptr, 40, tiny.bits.data(), 4));
    EXPECT_FALSE(CheckDibBlocks(tiny.info.data(), 40, nullptr, 4));

    // 2^31 pixels (and anything past 1 GiB of decoded pixels).
    TestDib huge = MakeDib(65536, 32768, 1);
    huge.info.resize(40 + 8, 0);
    huge.bits.assign(16, 0);
    std::string why;
    EXPECT_FALSE(huge.Check(&why));
    EXPECT_NE(why.find("1 GiB"), std::string::npos) << why;
    huge.Header().biWidth = 16384, huge.Header().biHeight = -16385; // just past 1 GiB
    EXPECT_FALSE(huge.Check(&why));
    EXPECT_NE(why.find("1 GiB"), std::string::npos) << why;

    // Colour table past the block end: 16 colours announced, 2 present.
    TestDib pal = MakePaletteDib(4, 1, 4, {0, 1});
    pal.bits.assign(4, 0);
    EXPECT_TRUE(pal.Check());
    pal.Header().biClrUsed = 16;
    EXPECT_FALSE(pal.Check());
    pal.Header().biClrUsed = 0; // 0 means all 16
    EXPECT_FALSE(pal.Check());
    // A count beyond 2^bits is clamped to 2^bits, which must still fit.
    TestDib clamp = MakePaletteDib(4, 1, 1, {0x123456, 0xABCDEF});
    clamp.bits.assign(4, 0x50);
    clamp.Header().biClrUsed = 0xFFFFFFFF;
    EXPECT_TRUE(clamp.Check());
    EXPECT_EQ(DibToImage(clamp.Info(), clamp.Bits()).pixel(1, 0) & 0xFFFFFF, 0xABCDEFu);
    clamp.info.resize(40 + 7);
    EXPECT_FALSE(clamp.Check());

    // Bit-field masks past the block.
    TestDib masks = MakeDib(1, 1, 32, BI_BITFIELDS, 8);
    masks.bits.assign(4, 0);
    EXPECT_FALSE(masks.Check());
    masks.info.resize(52, 0);
    EXPECT_TRUE(masks.Check());

    // Rows larger than the bits block (stride includes the padding).
    TestDib rows = MakeDib(3, 3, 24);
    rows.bits.assign(DibStride(3, 24) * 3 - 1, 0);
    EXPECT_FALSE(rows.Check());
    rows.bits.push_back(0);
    EXPECT_TRUE(rows.Check());
    // A row size that only 64-bit arithmetic gets right.
    TestDib wide = MakeDib(0x08000000, 1, 32); // width * bits is 2^32
    wide.bits.assign(16, 0);
    EXPECT_FALSE(wide.Check());

    // RLE: biSizeImage 0 or larger than the block.
    TestDib rle = MakePaletteDib(2, 2, 8, {0, 1}, BI_RLE8);
    rle.bits = {2, 1, 0, 1};
    EXPECT_FALSE(rle.Check());
    rle.Header().biSizeImage = 5;
    EXPECT_FALSE(rle.Check());
    rle.Header().biSizeImage = 4;
    EXPECT_TRUE(rle.Check());
    // RLE only bottom-up, and only with its own bit depth.
    rle.Header().biHeight = -2;
    EXPECT_FALSE(rle.Check());
    rle.Header().biHeight = 2;
    rle.Header().biCompression = BI_RLE4;
    EXPECT_FALSE(rle.Check());
}

} // namespace
