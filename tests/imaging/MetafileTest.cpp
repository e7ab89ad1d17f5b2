#include "imaging/PictureFile.h"

#include "PictureTestData.h"
#include "common/RuntimeError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// One metafile record: its size in 16-bit words, the function, its words.
void Rec(Bytes& b, int fn, std::initializer_list<int> words)
{
    b.U32(std::uint32_t(3 + words.size())).U16(fn);
    for (int w : words)
        b.U16(w);
}

// A placeable header (bounds 0..w x 0..h, units per inch, checksum) and the
// standard header with room for `objects` objects.
Bytes Placeable(int w, int h, int inch, int objects = 2)
{
    Bytes b;
    b.U32(0x9AC6CDD7u).U16(0).U16(0).U16(0).U16(w).U16(h).U16(inch).U32(0);
    unsigned check = 0;
    for (int i = 0; i < 20; i += 2)
        check ^= unsigned(uchar(b.Data()[i])) | unsigned(uchar(b.Data()[i + 1])) << 8;
    b.U16(int(check));
    b.U16(1).U16(9).U16(0x300).U32(0).U16(objects).U32(0).U16(0);
    return b;
}

// An enhanced-metafile header for a w x h picture at 96 dots per inch (the
// reference device is 960 pixels in 254 mm) with `handles` object slots.
Bytes EmfHeader(int w, int h, int handles)
{
    Bytes b;
    b.U32(1).U32(88).I32(0).I32(0).I32(w - 1).I32(h - 1);
    b.I32(0).I32(0).I32(w * 2540 / 96).I32(h * 2540 / 96);
    b.U32(0x464D4520u).U32(0x10000).U32(0).U32(0).U16(handles).U16(0).U32(0).U32(0).U32(0);
    b.U32(960).U32(960).U32(254).U32(254);
    return b;
}

// One enhanced-metafile record of 32-bit values.
void Emr(Bytes& b, std::uint32_t type, std::initializer_list<std::int32_t> values)
{
    b.U32(type).U32(std::uint32_t(8 + 4 * values.size()));
    for (std::int32_t v : values)
        b.I32(v);
}

// A font in slot `index`: height in logical units (negative: glyph height),
// escapement in tenths of a degree, the default face.
void EmfFont(Bytes& b, int index, int height, int escapement)
{
    b.U32(82).U32(104).U32(std::uint32_t(index));
    b.I32(height).I32(0).I32(escapement).I32(escapement).I32(700).U32(0).U32(0).Raw(QByteArray(64, 0));
}

// ExtTextOutW of 8-bit text at (x, y), without advances.
void EmfText(Bytes& b, int x, int y, const char* text)
{
    const int n = int(std::strlen(text)), padded = (n * 2 + 3) & ~3;
    b.U32(84).U32(std::uint32_t(76 + padded)).I32(0).I32(0).I32(-1).I32(-1).U32(1).U32(0).U32(0);
    b.I32(x).I32(y).U32(std::uint32_t(n)).U32(76).U32(0).I32(0).I32(0).I32(-1).I32(-1).U32(0);
    for (int i = 0; i < n; ++i)
        b.U16(uchar(text[i]));
    b.Raw(QByteArray(padded - n * 2, 0));
}

bool Dark(QRgb p) { return qGray(p) < 128; }

// The smallest rectangle holding every dark pixel (empty when there is none).
QRect Ink(const QImage& img)
{
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (Dark(img.pixel(x, y)))
                box |= QRect(x, y, 1, 1);
    return box;
}

int DarkInRow(const QImage& img, int y)
{
    int n = 0;
    for (int x = 0; x < img.width(); ++x)
        n += Dark(img.pixel(x, y));
    return n;
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

// The three blits that carry a DIB copy the part of it their record names:
// here the right column (red over black) of a 2x2 DIB whose left column is
// blue over green, each into a box of its own.
TEST(Metafile, DibBlitsCopyTheirSourcePart)
{
    Bytes dib;
    dib.U32(40).U32(2).U32(2).U16(1).U16(24).Raw(QByteArray(24, 0));
    dib.Raw({0, 255, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0}); // bottom-up rows
    Bytes b = Placeable(100, 100, 96);
    const auto blit = [&](int function, std::initializer_list<int> words) {
        Bytes rec;
        for (int w : words)
            rec.U16(w);
        rec.Raw(dib.Data());
        b.U32(std::uint32_t(3 + rec.Size() / 2)).U16(function).Raw(rec.Data());
    };
    // Words: raster operation, then the rectangles from the last field to the first.
    blit(0x0F43, {0x0020, 0x00CC, 0, 2, 1, 0, 1, 20, 20, 10, 10});  // StretchDIB: usage, source, dest
    blit(0x0B41, {0x0020, 0x00CC, 2, 1, 0, 1, 20, 20, 10, 50});     // DibStretchBlt: source, dest
    blit(0x0940, {0x0020, 0x00CC, 0, 1, 2, 1, 60, 30});             // DibBitBlt: source at, size, dest at
    Rec(b, 0, {});

    TempTree tree;
    const QImage img = Draw(tree, "blits.wmf", b.Data(), QSize(100, 100), QSize(100, 100));
    for (const QPoint at : {QPoint(52, 11), QPoint(68, 11)})
        EXPECT_EQ(QColor(img.pixel(at)), QColor(Qt::red)) << at.x() << "," << at.y();
    for (const QPoint at : {QPoint(11, 11), QPoint(28, 11)})
        EXPECT_EQ(QColor(img.pixel(at)), QColor(Qt::red)) << at.x() << "," << at.y();
    for (const QPoint at : {QPoint(11, 28), QPoint(52, 28)})
        EXPECT_EQ(QColor(img.pixel(at)), QColor(Qt::black)) << at.x() << "," << at.y();
    EXPECT_EQ(QColor(img.pixel(30, 60)), QColor(Qt::red));
    EXPECT_EQ(QColor(img.pixel(30, 61)), QColor(Qt::black));
    EXPECT_EQ(QColor(img.pixel(31, 60)), QColor(Qt::white)); // one column wide
}

// Text in a mapping whose y axis points up keeps its glyphs upright on the
// picture: a "T" has its bar above its stem, and the glyphs stand on the
// baseline rather than hanging below it. A font's escapement of 90 degrees
// makes the text run upwards from its reference point.
TEST(Metafile, EmfTextStandsUprightAndTurnsWithTheEscapement)
{
    TempTree tree;
    {
        Bytes b = EmfHeader(200, 200, 2);
        Emr(b, 17, {8});          // anisotropic
        Emr(b, 9, {200, -200});   // window: y up
        Emr(b, 11, {200, 200});
        Emr(b, 12, {0, 200});     // logical y 0 at the bottom
        Emr(b, 18, {1});          // transparent text background
        Emr(b, 22, {24});         // reference point on the baseline
        EmfFont(b, 1, -120, 0);
        Emr(b, 37, {1});
        EmfText(b, 40, 40, "T");  // baseline at picture row 160
        Emr(b, 14, {0, 0, 20});
        const QImage img = Draw(tree, "t.emf", b.Data(), QSize(200, 200), QSize(200, 200));
        const QRect ink = Ink(img);
        ASSERT_FALSE(ink.isEmpty());
        EXPECT_LE(ink.bottom(), 162) << "the glyph hangs below its baseline";
        EXPECT_GE(ink.height(), 60);
        const int top = DarkInRow(img, ink.top() + ink.height() / 8);
        const int bottom = DarkInRow(img, ink.bottom() - ink.height() / 8);
        EXPECT_GT(top, 2 * bottom) << "the bar of the T is not above its stem: " << top << " vs " << bottom;
    }
    {
        Bytes b = EmfHeader(200, 200, 2);
        Emr(b, 18, {1});
        Emr(b, 22, {24});
        EmfFont(b, 1, -30, 900);
        Emr(b, 37, {1});
        EmfText(b, 100, 190, "HHHHHH");
        Emr(b, 14, {0, 0, 20});
        const QImage img = Draw(tree, "turned.emf", b.Data(), QSize(200, 200), QSize(200, 200));
        const QRect ink = Ink(img);
        ASSERT_FALSE(ink.isEmpty());
        EXPECT_GT(ink.height(), 2 * ink.width()) << "the text does not run upwards";
        EXPECT_LE(ink.bottom(), 192);
        EXPECT_LE(ink.right(), 102) << "the glyphs lean the wrong way";
        EXPECT_LT(ink.top(), 120);
    }
}

// Outlines that must show: a hairline pen in a window that shrinks it below
// one pixel (it still draws one pixel wide), a path that is filled and
// stroked, and an arc.
TEST(Metafile, EmfOutlinesOfShapesPathsAndArcs)
{
    Bytes b = EmfHeader(100, 100, 4);
    Emr(b, 17, {8});
    Emr(b, 9, {2000, 2000});  // 20 logical units to a pixel
    Emr(b, 11, {100, 100});
    Emr(b, 38, {1, 0, 2, 0, 0x0000FF});  // red pen 2 units wide
    Emr(b, 37, {1});
    Emr(b, 37, {int(0x80000005u)});      // no brush
    Emr(b, 43, {200, 200, 800, 800});    // rectangle at pixels 10..40
    Emr(b, 39, {2, 0, 0xFF0000, 0});     // blue brush
    Emr(b, 37, {2});
    Emr(b, 59, {});                      // a triangle collected as a path
    Emr(b, 27, {1000, 200});
    Emr(b, 54, {1800, 200});
    Emr(b, 54, {1800, 1000});
    Emr(b, 61, {});
    Emr(b, 60, {});
    Emr(b, 63, {0, 0, -1, -1});          // filled and stroked
    Emr(b, 45, {200, 1200, 800, 1800, 800, 1500, 200, 1500});  // upper half of a circle
    Emr(b, 14, {0, 0, 20});
    TempTree tree;
    const QImage img = Draw(tree, "o.emf", b.Data(), QSize(100, 100), QSize(100, 100));
    auto reddest = [&](int x0, int x1, int y0, int y1) {  // how much redder than green the reddest pixel is
        int best = -255;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                best = std::max(best, qRed(img.pixel(x, y)) - qGreen(img.pixel(x, y)));
        return best;
    };
    EXPECT_GT(reddest(9, 11, 20, 30), 100) << "left side of the rectangle";
    EXPECT_GT(reddest(20, 30, 39, 41), 100) << "bottom of the rectangle";
    EXPECT_EQ(QColor(img.pixel(25, 25)), QColor(Qt::white)) << "the rectangle has no brush";
    EXPECT_EQ(QColor(img.pixel(82, 22)), QColor(Qt::blue)) << "inside the triangle";
    EXPECT_EQ(QColor(img.pixel(60, 40)), QColor(Qt::white)) << "outside the triangle";
    EXPECT_GT(reddest(75, 85, 9, 11), 100) << "the triangle's top edge";
    EXPECT_GT(reddest(24, 26, 59, 61), 100) << "top of the arc";
    EXPECT_EQ(QColor(img.pixel(25, 89)), QColor(Qt::white)) << "the arc's lower half is not drawn";
}

// The same quarter of a circle as a pie (filled to the centre) and as a
// chord (filled to the line between the arc's ends), in both formats.
TEST(Metafile, PiesReachTheCentreAndChordsStopAtTheirLine)
{
    // Boxes 0..48 and 50..98 wide, 48 high; from the ray to the right
    // counter-clockwise to the ray up: the upper right quarter of each.
    const int pie[] = {0, 0, 48, 48, 48, 24, 24, 0}, chord[] = {50, 0, 98, 48, 98, 24, 74, 0};
    Bytes emf = EmfHeader(100, 50, 2);
    Emr(emf, 39, {1, 0, 0xFF0000, 0}); // blue brush
    Emr(emf, 37, {1});
    Emr(emf, 47, {pie[0], pie[1], pie[2], pie[3], pie[4], pie[5], pie[6], pie[7]});
    Emr(emf, 46, {chord[0], chord[1], chord[2], chord[3], chord[4], chord[5], chord[6], chord[7]});
    Emr(emf, 14, {0, 0, 20});
    Bytes wmf = Placeable(100, 50, 96);
    Rec(wmf, 0x02FC, {0, 0x0000, 0x00FF, 0}); // blue solid brush
    Rec(wmf, 0x012D, {0});
    // Windows metafiles give the same values last first.
    for (const auto& [function, v] : {std::pair(0x081A, pie), std::pair(0x0830, chord)})
        Rec(wmf, function, {v[7], v[6], v[5], v[4], v[3], v[2], v[1], v[0]});
    Rec(wmf, 0, {});

    TempTree tree;
    for (const auto& [name, data] : {std::pair("q.emf", emf.Data()), std::pair("q.wmf", wmf.Data())}) {
        SCOPED_TRACE(name);
        const QImage img = Draw(tree, name, data, QSize(100, 50), QSize(100, 50));
        EXPECT_EQ(QColor(img.pixel(37, 11)), QColor(Qt::blue)) << "the pie near its arc";
        EXPECT_EQ(QColor(img.pixel(28, 20)), QColor(Qt::blue)) << "the pie near its centre";
        EXPECT_EQ(QColor(img.pixel(19, 29)), QColor(Qt::white)) << "outside the pie's quarter";
        EXPECT_EQ(QColor(img.pixel(87, 11)), QColor(Qt::blue)) << "the chord near its arc";
        EXPECT_EQ(QColor(img.pixel(78, 20)), QColor(Qt::white)) << "inside the chord's line";
    }
}

// Mapping changes move and scale what follows: an enhanced metafile in
// tenths of a millimetre (y up), and a Windows metafile whose window origin
// and extent change between shapes.
TEST(Metafile, WindowAndViewportMappingChanges)
{
    TempTree tree;
    {
        Bytes b = EmfHeader(200, 200, 2);
        Emr(b, 17, {2});                     // 0.1 mm units
        Emr(b, 39, {1, 0, 0xFF0000, 0});
        Emr(b, 37, {1});
        Emr(b, 37, {int(0x80000008u)});      // no pen
        Emr(b, 43, {100, -100, 300, -300});  // 10..30 mm = pixels 38..113
        Emr(b, 12, {150, 0});                // viewport origin moved right
        Emr(b, 43, {0, -400, 100, -500});    // pixels 150..188 across, 151..189 down
        Emr(b, 14, {0, 0, 20});
        const QImage img = Draw(tree, "mm.emf", b.Data(), QSize(200, 200), QSize(200, 200));
        const std::tuple<int, int, QColor> pixels[] = {
            {75, 75, Qt::blue}, {30, 30, Qt::white}, {120, 120, Qt::white},
            {170, 170, Qt::blue}, {170, 140, Qt::white}, {140, 170, Qt::white}};
        for (const auto& [x, y, colour] : pixels)
            EXPECT_EQ(QColor(img.pixel(x, y)), colour) << "emf " << x << "," << y;
    }
    {
        Bytes b = Placeable(200, 100, 96, 4);
        Rec(b, 0x020B, {0, 0});                 // window origin y, x
        Rec(b, 0x020C, {100, 200});             // window extent y, x
        Rec(b, 0x02FA, {5, 0, 0, 0, 0});        // no pen
        Rec(b, 0x012D, {0});
        Rec(b, 0x02FC, {0, 0x00FF, 0x0000, 0}); // red
        Rec(b, 0x02FC, {0, 0x0000, 0x00FF, 0}); // blue
        Rec(b, 0x02FC, {0, 0xFF00, 0x0000, 0}); // green
        Rec(b, 0x012D, {1});
        Rec(b, 0x041B, {40, 40, 10, 10});       // red at 10..40
        Rec(b, 0x020B, {0, -100});              // origin moved: same shape 100 further right
        Rec(b, 0x012D, {2});
        Rec(b, 0x041B, {40, 40, 10, 10});       // blue at 110..140
        Rec(b, 0x020C, {200, 400});             // twice the extent: half the size
        Rec(b, 0x012D, {3});
        Rec(b, 0x041B, {160, 280, 100, 200});   // green at 150..190 x 50..80
        Rec(b, 0, {});
        const QImage img = Draw(tree, "w.wmf", b.Data(), QSize(200, 100), QSize(200, 100));
        const std::tuple<int, int, QColor> pixels[] = {
            {25, 25, Qt::red}, {125, 25, Qt::blue}, {170, 65, Qt::green}, {125, 65, Qt::white}, {60, 25, Qt::white}};
        for (const auto& [x, y, colour] : pixels)
            EXPECT_EQ(QColor(img.pixel(x, y)), colour) << "wmf " << x << "," << y;
    }
}

// Clipping: a rectangle in logical units limits what follows until the
// saved state returns; a region's rectangles count in device pixels.
TEST(Metafile, EmfClippingRectanglesAndRegions)
{
    Bytes b = EmfHeader(100, 100, 2);
    Emr(b, 39, {1, 0, 0xFF0000, 0});  // blue brush
    Emr(b, 37, {1});
    Emr(b, 37, {int(0x80000008u)});   // no pen
    Emr(b, 17, {8});
    Emr(b, 9, {200, 200});            // two units to a pixel
    Emr(b, 11, {100, 100});
    Emr(b, 33, {});                   // save
    Emr(b, 30, {20, 20, 60, 60});     // clip to pixels 10..30
    Emr(b, 43, {0, 0, 200, 100});     // top half: only the clipped square shows
    Emr(b, 34, {-1});                 // restore: no clip
    Emr(b, 43, {0, 160, 40, 200});    // pixels 0..20 x 80..100
    // A region of one rectangle, pixels 60..90 x 40..70, intersected.
    b.U32(75).U32(16 + 48).U32(48).U32(1).U32(32).U32(1).U32(1).U32(16);
    b.I32(60).I32(40).I32(90).I32(70).I32(60).I32(40).I32(90).I32(70);
    Emr(b, 43, {100, 60, 200, 160});  // pixels 50..100 x 30..80
    Emr(b, 14, {0, 0, 20});
    TempTree tree;
    const QImage img = Draw(tree, "clip.emf", b.Data(), QSize(100, 100), QSize(100, 100));
    const std::tuple<int, int, QColor> pixels[] = {
        {20, 20, Qt::blue}, {5, 5, Qt::white}, {40, 20, Qt::white},   // clipped rectangle
        {10, 90, Qt::blue},                                          // after the restore
        {75, 55, Qt::blue}, {55, 35, Qt::white}, {95, 75, Qt::white}}; // clipped by the region
    for (const auto& [x, y, colour] : pixels)
        EXPECT_EQ(QColor(img.pixel(x, y)), colour) << x << "," << y;
}
