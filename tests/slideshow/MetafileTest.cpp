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
