#include "imaging/PictureFile.h"

#include "PictureTestData.h"
#include "common/RuntimeError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// One metafile record: its size in 16-bit words, the function, its words.
void Rec(Bytes& b, int fn, std::initializer_list<int> words)
{
    b.U32(std::uint32_t(3 + words.size())).U16(fn);
    for (int w : words)
        b.U16(w);
}

// A placeable header (bounds 0..w x 0..h, units per inch, checksum) and the standard header.
Bytes Placeable(int w, int h, int inch)
{
    Bytes b;
    b.U32(0x9AC6CDD7u).U16(0).U16(0).U16(0).U16(w).U16(h).U16(inch).U32(0);
    unsigned check = 0;
    for (int i = 0; i < 20; i += 2)
        check ^= unsigned(uchar(b.Data()[i])) | unsigned(uchar(b.Data()[i + 1])) << 8;
    b.U16(int(check));
    b.U16(1).U16(9).U16(0x300).U32(0).U16(2).U32(0).U16(0);
    return b;
}

QImage Draw(const TempTree& tree, const char* name, const QByteArray& data, QSize natural, QSize size)
{
    auto picture = PictureFile::Open(tree.WriteFile(name, data));
    EXPECT_EQ(picture->NaturalSize(), natural) << name;
    return picture->Render(size);
}

} // namespace

TEST(Metafile, PlaceableSizeAndFillAndADamagedHeader)
{
    TempTree tree;
    // 1440 x 720 units at 1440 per inch: a red filled rectangle over all of it.
    for (bool truncated : {false, true}) {
        Bytes b = Placeable(1440, 720, 1440);
        Rec(b, 0x02FC, {0, 0x00FF, 0x0000, 0}); // red solid brush
        Rec(b, 0x012D, {0});
        Rec(b, 0x012D, {77}); // index out of range: ignored
        Rec(b, 0x041B, {720, 1440, 0, 0});
        if (truncated) // a record claiming more than the file holds
            b.U32(0x7FFFFFFF).U16(0x0325).U16(0xFFFF);
        Rec(b, 0, {});
        const QImage img = Draw(tree, "A.WMF", b.Data(), QSize(96, 48), QSize(50, 30));
        ASSERT_EQ(img.size(), QSize(50, 30));
        EXPECT_EQ(QColor(img.pixel(25, 15)), QColor(255, 0, 0)) << truncated;
        EXPECT_THROW(PictureFile::Open(tree.WriteFile("c.wmf", b.Data().left(30))), RuntimeError);
    }
}

TEST(Metafile, EmfSizeFromFrameAndEllipse)
{
    Bytes b;
    b.U32(1).U32(88).U32(0).U32(0).U32(99).U32(99);
    b.U32(0).U32(0).U32(2646).U32(2646); // 26.46 mm = 100 px at 96 dpi
    b.U32(0x464D4520u).U32(0x10000).U32(0).U32(0).U16(2).U16(0).U32(0).U32(0).U32(0);
    b.U32(1000).U32(1000).U32(264).U32(264);
    b.U32(39).U32(24).U32(1).U32(0).U32(0x00FF00).U32(0); // green brush at 1
    b.U32(37).U32(12).U32(1);
    b.U32(42).U32(24).U32(10).U32(10).U32(90).U32(90);
    b.U32(86).U32(0xFFFFFFF0u); // record size beyond the file
    TempTree tree;
    const QImage img = Draw(tree, "b.txt", b.Data(), QSize(100, 100), QSize(100, 100));
    EXPECT_EQ(QColor(img.pixel(50, 50)), QColor(0, 255, 0));
    EXPECT_EQ(QColor(img.pixel(2, 2)), QColor(255, 255, 255));
}

TEST(Metafile, PolygonLineTextAndEmbeddedDibAtOneUnitPerPixel)
{
    Bytes b = Placeable(200, 100, 96);
    Rec(b, 0x02FC, {0, 0x0000, 0x00FF, 0});       // blue brush
    Rec(b, 0x012D, {0});
    Rec(b, 0x0324, {3, 10, 10, 90, 10, 50, 90});  // triangle
    Rec(b, 0x02FA, {0, 3, 0, 0xFF00, 0x0000});    // green pen, 3 wide
    Rec(b, 0x012D, {1});
    Rec(b, 0x0214, {10, 110});                    // MoveTo y, x
    Rec(b, 0x0213, {90, 110});                    // LineTo y, x
    Rec(b, 0x0209, {0, 0});                       // black text
    Rec(b, 0x0521, {4, 0x4848, 0x4848, 60, 130}); // "HHHH" at x 130, y 60
    // StretchDIB, SRCCOPY, source 2x2, dest 40x40 at 150,5, of a 24-bit DIB
    // bottom-up: top row blue, white; bottom row red, green.
    Bytes stretch;
    for (int w : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 40, 40, 5, 150})
        stretch.U16(w);
    stretch.U32(40).U32(2).U32(2).U16(1).U16(24).Raw(QByteArray(24, 0));
    stretch.Raw({0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0});
    b.U32(std::uint32_t(3 + stretch.Size() / 2)).U16(0x0F43).Raw(stretch.Data());
    Rec(b, 0, {});

    TempTree tree;
    const QImage img = Draw(tree, "d.wmf", b.Data(), QSize(200, 100), QSize(200, 100));
    const std::tuple<int, int, QColor> pixels[] = {
        {50, 40, Qt::blue}, {50, 95, Qt::white},   // inside and below the triangle
        {110, 50, Qt::green}, {120, 50, Qt::white}, // on and beside the line
        // The DIB's four pixels, smoothly enlarged: exact near the corners.
        {151, 6, Qt::blue}, {188, 6, Qt::white}, {151, 43, Qt::red}, {188, 43, Qt::green}};
    for (const auto& [x, y, colour] : pixels)
        EXPECT_EQ(QColor(img.pixel(x, y)), colour) << x << "," << y;
    int inked = 0;
    for (int y = 55; y < 100; ++y)
        for (int x = 125; x < 200; ++x)
            inked += qGray(img.pixel(x, y)) < 128;
    EXPECT_GT(inked, 10); // the text left ink
}
