#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "DibTestData.h"
#include "support/TestSupport.h"

namespace {

constexpr QRgb R = 0xFF0000, G = 0x00FF00, B = 0x0000FF, W = 0xFFFFFF, K = 0;

TestDib WithBits(TestDib d, std::vector<unsigned char> bits, bool rle = false)
{
    d.bits = std::move(bits);
    if (rle)
        d.Header().biSizeImage = std::uint32_t(d.bits.size());
    return d;
}

// The DIB passes the check and decodes to exactly these rows, top row first.
void ExpectImage(const char* label, const TestDib& d, const std::vector<std::vector<QRgb>>& rows)
{
    SCOPED_TRACE(label);
    const codec::Result<void> fits = d.Check();
    ASSERT_TRUE(fits) << fits.error().message;
    const codec::Result<QImage> decoded = DibToImage(d.Info(), d.Bits());
    ASSERT_TRUE(decoded) << decoded.error().message;
    const QImage& img = *decoded;
    EXPECT_EQ(img.format(), QImage::Format_RGB32);
    ASSERT_EQ(img.size(), QSize(int(rows[0].size()), int(rows.size())));
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            EXPECT_EQ(img.pixel(x, y) & 0xFFFFFF, rows[y][x]) << "at " << x << "," << y;
}

TEST(DibDecode, EveryDepthGivesExactColours)
{
    // 1 bit, bottom row stored first: bottom x 0 and 9 set, top x 7 set.
    const QRgb o = 0x112233, i = 0xAABBCC;
    ExpectImage("1 bit", WithBits(MakePaletteDib(10, 2, 1, {o, i}), {0x80, 0x40, 0, 0, 0x01, 0, 0, 0}),
                {{o, o, o, o, o, o, o, i, o, o}, {i, o, o, o, o, o, o, o, o, i}});
    // Index 15 lies beyond the table: black.
    ExpectImage("4 bit", WithBits(MakePaletteDib(3, -1, 4, {R, G, B}), {0x12, 0xF0, 0, 0}), {{G, B, K}});
    TestDib full = WithBits(MakeDib(2, 1, 8), {200, 255, 0, 0}); // biClrUsed 0: all 256 colours
    full.info.resize(40 + 256 * 4);
    full.info[40 + 4 * 200 + 2] = 0x80;
    full.info[40 + 4 * 255] = 0x01;
    ExpectImage("8 bit", full, {{0x800000, 0x000001}});
    // 5-5-5 by default; 15 of 31 blue is 0x7B.
    ExpectImage("16 bit", WithBits(MakeDib(3, 1, 16), {0x00, 0x7C, 0xE0, 0x03, 0x0F, 0, 0, 0}), {{R, G, 0x7B}});
    ExpectImage("16 bit 5-6-5", WithBits(MakeDib(2, 1, 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}),
                                         {0xFF, 0xFF, 0xE0, 0x07}), {{W, G}});
    const std::vector<unsigned char> rows24 = {1, 2, 3, 0, 0x0A, 0x0B, 0x0C, 0}; // BGR, padded to 4
    ExpectImage("24 bit bottom-up", WithBits(MakeDib(1, 2, 24), rows24), {{0x0C0B0A}, {0x030201}});
    ExpectImage("24 bit top-down", WithBits(MakeDib(1, -2, 24), rows24), {{0x030201}, {0x0C0B0A}});
    ExpectImage("32 bit", WithBits(MakeDib(1, 1, 32), {0x10, 0x20, 0x30, 0x99}), {{0x302010}});
    // 10-10-10, red in the low bits: 0x200 of 0x3FF is 0x80.
    ExpectImage("32 bit fields", WithBits(MakeDib(2, 1, 32, BI_BITFIELDS, {0x3FF, 0xFFC00, 0x3FF00000}),
                                          {0xFF, 0x03, 0x08, 0, 0, 0, 0xF0, 0x3F}), {{0xFF8000, B}});
}

TEST(DibDecode, RleRunsAbsoluteDeltaAndEnds)
{
    const QRgb n = 0x000080; // index 0: pixels never written
    ExpectImage("RLE8", WithBits(MakePaletteDib(6, 3, 8, {n, R, G, B}, BI_RLE8),
                                 {3, 1, 0, 3, 2, 3, 1, 0, // 3 x red; absolute green, blue, red + pad
                                  0, 0, 0, 2, 2, 1,       // end of line; delta 2 right, 1 up
                                  2, 2, 0, 1}, true),     // 2 x green; end of bitmap
                {{n, n, G, G, n, n}, {n, n, n, n, n, n}, {R, R, R, G, B, R}});
    const QRgb c1 = 0x111111, c2 = 0x222222, c3 = 0x333333;
    ExpectImage("RLE4", WithBits(MakePaletteDib(5, 2, 4, {K, c1, c2, c3}, BI_RLE4),
                                 {5, 0x12, 0, 0, 0, 3, 0x32, 0x10, 0, 1}, true),
                {{c3, c2, c1, K, K}, {c1, c2, c1, c2, c1}});
    // An absolute run of 5 nibbles takes 3 bytes, padded to 4.
    ExpectImage("RLE4 odd run", WithBits(MakePaletteDib(6, 1, 4, {K, c1, c2, c3}, BI_RLE4),
                                         {0, 5, 0x12, 0x31, 0x20, 0xEE, 1, 0x30, 0, 1}, true),
                {{c1, c2, c3, c1, c2, c3}});
    ExpectImage("runs past the row and picture are cut",
                WithBits(MakePaletteDib(4, 2, 8, {K, W, R}, BI_RLE8),
                         {200, 1, 0, 6, 2, 2, 2, 2, 2, 2, 0, 2, 250, 250, 255, 2, 0, 0, 0, 0, 0, 0, 9, 9}, true),
                {{K, K, K, K}, {W, W, W, W}});
    // An absolute run of 8 promised, but biSizeImage ends first; the bytes behind it would paint red.
    TestDib cut = WithBits(MakePaletteDib(8, 1, 8, {K, R}, BI_RLE8), {2, 1, 0, 8, 1, 1, 1, 1, 1, 1, 1, 1});
    cut.Header().biSizeImage = 6;
    ExpectImage("reads no further than biSizeImage", cut, {{R, R, K, K, K, K, K, K}});
}

template <class F>
TestDib Spoilt(TestDib d, F spoil)
{
    spoil(d.Header());
    return d;
}

TestDib Resized(TestDib d, std::size_t infoSize)
{
    d.info.resize(infoSize);
    return d;
}

TEST(DibCheck, RefusesBadHeadersAndBlocksThatDoNotFit)
{
    using H = BITMAPINFOHEADER&;
    using K = codec::ErrorKind;
    enum Verdict { Fits, BadHeader, DoesNotFit };
    const TestDib valid = WithBits(MakeDib(4, 4, 24, BI_RGB, {0, 0, 0}), std::vector<unsigned char>(48));
    const TestDib v5 = Spoilt(WithBits(MakeDib(1, 1, 24), {0, 0, 0, 0}), [](H h) { h.biSize = 124; });
    const TestDib pal = WithBits(MakePaletteDib(4, 1, 4, {0, 1}), {0, 0, 0, 0});
    // A colour count beyond 2^bits is clamped to 2^bits, which must still fit.
    const TestDib clamp = Spoilt(WithBits(MakePaletteDib(4, 1, 1, {0x123456, 0xABCDEF}), {0x50, 0x50, 0x50, 0x50}),
                                 [](H h) { h.biClrUsed = 0xFFFFFFFF; });
    const TestDib rle = WithBits(MakePaletteDib(2, 2, 8, {0, 1}, BI_RLE8), {2, 1, 0, 1}, true);
    // Unless said otherwise, what is refused is damaged.
    const struct { const char* label; TestDib dib; Verdict verdict; K kind = K::Damaged; } rows[] = {
        {"valid", valid, Fits},
        {"biSize below 40", Spoilt(valid, [](H h) { h.biSize = 12; }), BadHeader},
        {"width 0", Spoilt(valid, [](H h) { h.biWidth = 0; }), BadHeader},
        {"width negative", Spoilt(valid, [](H h) { h.biWidth = -4; }), BadHeader},
        {"height 0", Spoilt(valid, [](H h) { h.biHeight = 0; }), BadHeader},
        {"height INT_MIN", Spoilt(valid, [](H h) { h.biHeight = INT_MIN; }), BadHeader},
        {"planes 2", Spoilt(valid, [](H h) { h.biPlanes = 2; }), BadHeader},
        {"bits 2", Spoilt(valid, [](H h) { h.biBitCount = 2; }), BadHeader, K::Unsupported},
        {"bits 0", Spoilt(valid, [](H h) { h.biBitCount = 0; }), BadHeader, K::Unsupported},
        {"compression 4 (JPEG)", Spoilt(valid, [](H h) { h.biCompression = 4; }), BadHeader, K::Unsupported},
        {"RLE8 with 24 bits", Spoilt(valid, [](H h) { h.biCompression = BI_RLE8, h.biSizeImage = 4; }), BadHeader},
        {"bit fields with 24 bits", Spoilt(valid, [](H h) { h.biCompression = BI_BITFIELDS; }), BadHeader},
        {"header larger than its block", v5, DoesNotFit},
        {"V5-sized header in a block that holds it", Resized(v5, 124), Fits},
        {"2^31 pixels", WithBits(MakeDib(65536, 32768, 1, BI_RGB, {0, 0}), std::vector<unsigned char>(16)),
         BadHeader, K::TooLarge},
        {"just past 1 GiB", WithBits(MakeDib(16384, -16385, 1, BI_RGB, {0, 0}), std::vector<unsigned char>(16)),
         BadHeader, K::TooLarge},
        {"2 colours present", pal, Fits},
        {"16 colours announced, 2 present", Spoilt(pal, [](H h) { h.biClrUsed = 16; }), DoesNotFit},
        {"0 colours means all 16", Spoilt(pal, [](H h) { h.biClrUsed = 0; }), DoesNotFit},
        {"clamped table", clamp, Fits},
        {"clamped table cut short", Resized(clamp, 40 + 7), DoesNotFit},
        {"two of three masks", WithBits(MakeDib(1, 1, 32, BI_BITFIELDS, {0, 0}), {0, 0, 0, 0}), DoesNotFit},
        {"three masks", WithBits(MakeDib(1, 1, 32, BI_BITFIELDS, {0, 0, 0}), {0, 0, 0, 0}), Fits},
        {"rows one byte short", WithBits(MakeDib(3, 3, 24), std::vector<unsigned char>(12 * 3 - 1)), DoesNotFit},
        {"rows exactly, stride padded", WithBits(MakeDib(3, 3, 24), std::vector<unsigned char>(12 * 3)), Fits},
        // width * bits is 2^32: only 64-bit arithmetic gets the row size right.
        {"row size past 32 bits", WithBits(MakeDib(0x08000000, 1, 32), std::vector<unsigned char>(16)), DoesNotFit},
        {"RLE fits", rle, Fits},
        {"RLE without biSizeImage", Spoilt(rle, [](H h) { h.biSizeImage = 0; }), BadHeader},
        {"RLE biSizeImage past the block", Spoilt(rle, [](H h) { h.biSizeImage = 5; }), DoesNotFit},
        {"RLE top-down", Spoilt(rle, [](H h) { h.biHeight = -2; }), BadHeader},
        {"RLE4 with 8 bits", Spoilt(rle, [](H h) { h.biCompression = BI_RLE4; }), BadHeader},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        const codec::Result<void> fits = r.dib.Check();
        EXPECT_EQ(bool(fits), r.verdict == Fits);
        if (!fits) {
            EXPECT_EQ(fits.error().kind, r.kind) << fits.error().message;
        }
        if (r.verdict != DoesNotFit) { // never decode what does not fit its blocks
            const codec::Result<QImage> decoded = DibToImage(r.dib.Info(), r.dib.Bits());
            EXPECT_EQ(bool(decoded), r.verdict == Fits);
            if (!decoded) {
                EXPECT_EQ(decoded.error().kind, r.kind);
            }
        }
    }
    EXPECT_EQ(DibToImage(clamp.Info(), clamp.Bits())->pixel(1, 0) & 0xFFFFFF, 0xABCDEFu);
    EXPECT_FALSE(CheckDibBlocks(valid.info.data(), 39, valid.bits.data(), 48));
    EXPECT_FALSE(CheckDibBlocks(nullptr, 40, valid.bits.data(), 48));
    EXPECT_FALSE(CheckDibBlocks(valid.info.data(), 40, nullptr, 48));
}

} // namespace
