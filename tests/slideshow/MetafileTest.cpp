#include "slideshow/PictureFile.h"
#include "common/RuntimeError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QTemporaryDir>

namespace {
void W16(QByteArray& b, int v) { b.append(char(v & 0xFF)); b.append(char((v >> 8) & 0xFF)); }
void W32(QByteArray& b, unsigned v) { W16(b, int(v & 0xFFFF)); W16(b, int(v >> 16)); }
void Rec(QByteArray& b, int fn, std::initializer_list<int> words)
{
    W32(b, unsigned(3 + words.size())); W16(b, fn);
    for (int w : words) W16(b, w);
}
// A placeable metafile 0..200 x 0..100 at 1440 units per inch: a red filled rectangle.
QByteArray Wmf(bool truncate)
{
    QByteArray b;
    W32(b, 0x9AC6CDD7u); W16(b, 0); W16(b, 0); W16(b, 0); W16(b, 1440); W16(b, 720); W16(b, 1440); W32(b, 0); W16(b, 0);
    W16(b, 1); W16(b, 9); W16(b, 0x300); W32(b, 0); W16(b, 2); W32(b, 0); W16(b, 0);
    Rec(b, 0x02FC, {0, 0x00FF, 0x0000, 0});      // red solid brush
    Rec(b, 0x012D, {0});
    Rec(b, 0x012D, {77});                        // index out of range: ignored
    Rec(b, 0x041B, {720, 1440, 0, 0});           // whole picture
    if (truncate) { W32(b, 0x7FFFFFFF); W16(b, 0x0325); W16(b, 0xFFFF); }
    Rec(b, 0, {});
    return b;
}
QString Write(const QTemporaryDir& dir, const QString& name, const QByteArray& data)
{
    QFile f(dir.filePath(name)); f.open(QIODevice::WriteOnly); f.write(data); return f.fileName();
}
}

TEST(Metafile, PlaceableSizeAndFill)
{
    QTemporaryDir dir;
    for (bool truncate : {false, true}) {
        auto pic = PictureFile::Open(Write(dir, "A.WMF", Wmf(truncate)));
        EXPECT_EQ(pic->NaturalSize(), QSize(96, 48));
        const QImage img = pic->Render(QSize(50, 30));
        ASSERT_EQ(img.size(), QSize(50, 30));
        EXPECT_EQ(QColor(img.pixel(25, 15)), QColor(255, 0, 0));
    }
}

TEST(Metafile, EmfSizeFromFrameAndEllipse)
{
    QByteArray b;
    W32(b, 1); W32(b, 88); for (int v : {0, 0, 99, 99}) W32(b, unsigned(v));
    for (int v : {0, 0, 2646, 2646}) W32(b, unsigned(v));  // 26.46 mm = 100 px at 96 dpi
    W32(b, 0x464D4520u); W32(b, 0x10000); W32(b, 0); W32(b, 0); W16(b, 2); W16(b, 0); W32(b, 0); W32(b, 0); W32(b, 0);
    W32(b, 1000); W32(b, 1000); W32(b, 264); W32(b, 264);
    W32(b, 39); W32(b, 24); W32(b, 1); W32(b, 0); W32(b, 0x00FF00); W32(b, 0);  // green brush at 1
    W32(b, 37); W32(b, 12); W32(b, 1);
    W32(b, 42); W32(b, 24); for (int v : {10, 10, 90, 90}) W32(b, unsigned(v));
    W32(b, 86); W32(b, 0xFFFFFFF0u);  // record size beyond the file
    QTemporaryDir dir;
    auto pic = PictureFile::Open(Write(dir, "b.txt", b));
    EXPECT_EQ(pic->NaturalSize(), QSize(100, 100));
    const QImage img = pic->Render(QSize(100, 100));
    EXPECT_EQ(QColor(img.pixel(50, 50)), QColor(0, 255, 0));
    EXPECT_EQ(QColor(img.pixel(2, 2)), QColor(255, 255, 255));
}

TEST(Metafile, DamagedHeaderRefused)
{
    QTemporaryDir dir;
    QByteArray b = Wmf(false).left(30);
    EXPECT_THROW(PictureFile::Open(Write(dir, "c.wmf", b)), RuntimeError);
}

namespace {

// A 2 x 2 24-bit DIB, bottom-up: top row blue, white; bottom row red, green.
QByteArray Dib2x2()
{
    QByteArray d;
    W32(d, 40); W32(d, 2); W32(d, 2); W16(d, 1); W16(d, 24);
    for (int i = 0; i < 6; ++i) W32(d, 0);
    for (int bgr : {0x0000FF, 0x00FF00}) { d.append(char(bgr >> 16)); d.append(char(bgr >> 8)); d.append(char(bgr)); }
    d.append(2, '\0');
    for (int bgr : {0xFF0000, 0xFFFFFF}) { d.append(char(bgr >> 16)); d.append(char(bgr >> 8)); d.append(char(bgr)); }
    d.append(2, '\0');
    return d;
}

} // namespace

TEST(Metafile, PolygonLineTextAndEmbeddedDibAtOneUnitPerPixel)
{
    QByteArray b;
    W32(b, 0x9AC6CDD7u); W16(b, 0); W16(b, 0); W16(b, 0); W16(b, 200); W16(b, 100); W16(b, 96); W32(b, 0);
    {
        unsigned check = 0;
        for (int i = 0; i < 20; i += 2) check ^= unsigned(uchar(b[i])) | unsigned(uchar(b[i + 1])) << 8;
        W16(b, int(check));
    }
    W16(b, 1); W16(b, 9); W16(b, 0x300); W32(b, 0); W16(b, 2); W32(b, 0); W16(b, 0);
    Rec(b, 0x02FC, {0, 0x0000, 0x00FF, 0});        // blue brush
    Rec(b, 0x012D, {0});
    Rec(b, 0x0324, {3, 10, 10, 90, 10, 50, 90});   // triangle
    Rec(b, 0x02FA, {0, 3, 0, 0xFF00, 0x0000});     // green pen, 3 wide
    Rec(b, 0x012D, {1});
    Rec(b, 0x0214, {10, 110});                     // MoveTo y, x
    Rec(b, 0x0213, {90, 110});                     // LineTo y, x
    Rec(b, 0x0209, {0, 0});                        // black text
    Rec(b, 0x0521, {4, 0x4848, 0x4848, 60, 130});  // "HHHH" at x 130, y 60
    QByteArray stretch;
    for (int w : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 40, 40, 5, 150}) W16(stretch, w); // SRCCOPY, source 2x2, dest 40x40 at 150,5
    stretch += Dib2x2();
    W32(b, unsigned(3 + stretch.size() / 2)); W16(b, 0x0F43); b += stretch;
    Rec(b, 0, {});

    QTemporaryDir dir;
    auto pic = PictureFile::Open(Write(dir, "d.wmf", b));
    ASSERT_EQ(pic->NaturalSize(), QSize(200, 100));
    const QImage img = pic->Render(QSize(200, 100));
    EXPECT_EQ(QColor(img.pixel(50, 40)), QColor(0, 0, 255));   // inside the triangle
    EXPECT_EQ(QColor(img.pixel(50, 95)), QColor(255, 255, 255));
    EXPECT_EQ(QColor(img.pixel(110, 50)), QColor(0, 255, 0));   // on the line
    EXPECT_EQ(QColor(img.pixel(120, 50)), QColor(255, 255, 255));
    // The DIB's four pixels, smoothly enlarged: exact near the corners.
    EXPECT_EQ(QColor(img.pixel(151, 6)), QColor(0, 0, 255));
    EXPECT_EQ(QColor(img.pixel(188, 6)), QColor(255, 255, 255));
    EXPECT_EQ(QColor(img.pixel(151, 43)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(img.pixel(188, 43)), QColor(0, 255, 0));
    int inked = 0;
    for (int y = 55; y < 100; ++y)
        for (int x = 125; x < 200; ++x)
            inked += qGray(img.pixel(x, y)) < 128;
    EXPECT_GT(inked, 10); // the text left ink
}
