// The quick PNG path against libpng: PNGs of every kind written by libpng
// itself, decoded whole by both (pixel for pixel the same) and reduced
// (within a small tolerance of libpng's decode smoothly scaled by Qt).
#include "imaging/PictureFile.h"
#include "imaging/PngFast.h"
#include "imaging/PngReader.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QFile>

namespace {

constexpr std::size_t kMaxBytes = std::size_t(256) << 20;

struct Kind {
    int type;  // PNG_COLOR_TYPE_*
    int depth; // bits per sample
    bool trns = false;
    int filter = PNG_ALL_FILTERS;
    bool interlace = false;
    int idatBytes = 0; // IDAT chunk size when not 0
    int paletteSize = 0; // palette entries when not all
};

std::string Describe(const Kind& k, int w, int h)
{
    return "type " + std::to_string(k.type) + " depth " + std::to_string(k.depth) + (k.trns ? " tRNS" : "") +
           " filter " + std::to_string(k.filter) + (k.interlace ? " interlaced" : "") + " idat " +
           std::to_string(k.idatBytes) + " " + std::to_string(w) + "x" + std::to_string(h);
}

int Channels(int type)
{
    switch (type) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
        return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    default:
        return 4;
    }
}

// A sample that mixes gradients with noise, so that every filter and every
// branch of Paeth gets used; every fifth pixel is the tRNS colour.
unsigned Sample(int x, int y, int c, int depth, int maxIndex)
{
    const unsigned max = depth == 16 ? 0xFFFF : (1u << depth) - 1;
    const unsigned limit = maxIndex > 0 ? unsigned(maxIndex) : max;
    if ((x + 2 * y) % 5 == 0)
        return std::min(limit, max / 3 + unsigned(c)); // the tRNS value
    std::uint32_t hsh = std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u ^ std::uint32_t(c) * 83492791u;
    hsh ^= hsh >> 13;
    hsh *= 0x5bd1e995u;
    hsh ^= hsh >> 15;
    const unsigned smooth = unsigned(((x * 7 + y * 3 + c * 50) * 37) & 0xFFFF) * max / 0xFFFF;
    const unsigned v = (hsh & 3) == 0 ? (hsh >> 8) % (max + 1) : std::min(max, smooth + (hsh >> 8) % 5);
    return std::min(v, limit);
}

void WriteBytes(png_structp png, png_bytep data, png_size_t n)
{
    auto* out = static_cast<QByteArray*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), qsizetype(n));
}

void Flush(png_structp) {}

QByteArray WritePng(const Kind& k, int w, int h)
{
    QByteArray out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "libpng cannot write " << Describe(k, w, h);
        return {};
    }
    png_set_write_fn(png, &out, WriteBytes, Flush);
    png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), k.depth, k.type,
                 k.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, k.filter);
    if (k.idatBytes > 0)
        png_set_compression_buffer_size(png, png_size_t(k.idatBytes));
    int paletteSize = 0;
    if (k.type == PNG_COLOR_TYPE_PALETTE) {
        paletteSize = k.paletteSize > 0 ? k.paletteSize : 1 << k.depth;
        std::vector<png_color> palette(std::size_t(paletteSize), png_color{});
        for (int i = 0; i < paletteSize; ++i)
            palette[std::size_t(i)] = png_color{png_byte(i * 37), png_byte(255 - i * 11), png_byte(i * 91 + 7)};
        png_set_PLTE(png, info, palette.data(), paletteSize);
        if (k.trns) {
            // Fewer alphas than colours: the rest stay opaque.
            std::vector<png_byte> alphas(std::size_t(std::max(1, paletteSize - 1)));
            for (std::size_t i = 0; i < alphas.size(); ++i)
                alphas[i] = png_byte(i * 67 + 3);
            png_set_tRNS(png, info, alphas.data(), int(alphas.size()), nullptr);
        }
    } else if (k.trns) {
        png_color_16 colour{};
        const unsigned max = k.depth == 16 ? 0xFFFF : (1u << k.depth) - 1;
        colour.gray = png_uint_16(max / 3);
        colour.red = png_uint_16(max / 3);
        colour.green = png_uint_16(std::min(max, max / 3 + 1));
        colour.blue = png_uint_16(std::min(max, max / 3 + 2));
        png_set_tRNS(png, info, nullptr, 0, &colour);
    }
    png_write_info(png, info);
    const int channels = Channels(k.type);
    const std::size_t rowBytes = (std::size_t(w) * unsigned(channels) * unsigned(k.depth) + 7) / 8;
    std::vector<png_byte> rows(rowBytes * std::size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        png_byte* row = rows.data() + rowBytes * std::size_t(y);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < channels; ++c) {
                const unsigned v = Sample(x, y, c, k.depth, paletteSize > 0 ? paletteSize - 1 : 0);
                if (k.depth == 16) {
                    row[(std::size_t(x) * unsigned(channels) + unsigned(c)) * 2] = png_byte(v >> 8);
                    row[(std::size_t(x) * unsigned(channels) + unsigned(c)) * 2 + 1] = png_byte(v);
                } else if (k.depth == 8) {
                    row[std::size_t(x) * unsigned(channels) + unsigned(c)] = png_byte(v);
                } else {
                    const std::size_t bit = std::size_t(x) * unsigned(k.depth);
                    row[bit / 8] = png_byte(row[bit / 8] | v << (8 - k.depth - int(bit % 8)));
                }
            }
        }
    }
    std::vector<png_bytep> pointers(std::size_t(h), nullptr);
    for (int y = 0; y < h; ++y)
        pointers[std::size_t(y)] = rows.data() + rowBytes * std::size_t(y);
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

QImage LibpngDecode(const QString& path)
{
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file)
        return {};
    codec::Result<QImage> image = DecodePng(file, kMaxBytes);
    std::fclose(file);
    return image ? *image : QImage();
}

codec::Result<QImage> Fast(const QString& path, QSize size)
{
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file)
        return codec::Fail(codec::ErrorKind::ReadFailed, "cannot open");
    codec::Result<QImage> image = DecodePngFast(file, size, kMaxBytes);
    std::fclose(file);
    return image;
}

// The quick path's picture, or a null image when it declines.
QImage FastDecode(const QString& path, QSize size)
{
    codec::Result<QImage> image = Fast(path, size);
    return image ? std::move(*image) : QImage();
}

// Why the quick path declines ("damaged", ...), or "decoded".
std::string Declined(const QString& path, QSize size)
{
    const codec::Result<QImage> image = Fast(path, size);
    return image ? "decoded" : codec::KindName(image.error().kind);
}

// What the loader did before the quick path: libpng's decode, smoothly scaled.
QImage SmoothReference(const QImage& decoded, QSize size)
{
    const QImage::Format format =
        decoded.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    QImage out = decoded.size() == size ? decoded : decoded.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return out.convertToFormat(format);
}

// The first pixel that differs, or an empty string.
std::string FirstDifference(const QImage& a, const QImage& b, int tolerance)
{
    if (a.size() != b.size() || a.format() != b.format())
        return "size or format differs: " + std::to_string(a.width()) + "x" + std::to_string(a.height()) + " format " +
               std::to_string(int(a.format())) + " against " + std::to_string(b.width()) + "x" +
               std::to_string(b.height()) + " format " + std::to_string(int(b.format()));
    for (int y = 0; y < a.height(); ++y) {
        const auto* pa = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* pb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            for (int shift = 0; shift < 32; shift += 8) {
                const int da = int((pa[x] >> shift) & 0xFF), db = int((pb[x] >> shift) & 0xFF);
                if (std::abs(da - db) > tolerance) {
                    char text[128];
                    std::snprintf(text, sizeof text, "at %d,%d: %08x against %08x", x, y, unsigned(pa[x]),
                                  unsigned(pb[x]));
                    return text;
                }
            }
        }
    }
    return {};
}

std::vector<Kind> AllKinds()
{
    std::vector<Kind> kinds;
    for (int depth : {1, 2, 4, 8, 16})
        for (bool trns : {false, true})
            kinds.push_back({PNG_COLOR_TYPE_GRAY, depth, trns});
    for (int depth : {1, 2, 4, 8})
        for (bool trns : {false, true})
            kinds.push_back({PNG_COLOR_TYPE_PALETTE, depth, trns});
    for (int depth : {8, 16}) {
        kinds.push_back({PNG_COLOR_TYPE_RGB, depth, false});
        kinds.push_back({PNG_COLOR_TYPE_RGB, depth, true});
        kinds.push_back({PNG_COLOR_TYPE_GRAY_ALPHA, depth});
        kinds.push_back({PNG_COLOR_TYPE_RGB_ALPHA, depth});
    }
    return kinds;
}

const QSize kSizes[] = {{1, 1}, {3, 7}, {257, 5}, {40, 33}};

TEST(PngFast, WholeDecodeIsLibpngsPixelForPixel)
{
    TempTree tree;
    int n = 0;
    for (Kind k : AllKinds()) {
        for (int filter : {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH,
                           PNG_ALL_FILTERS}) {
            k.filter = filter;
            for (QSize size : kSizes) {
                const QString path = tree.WriteFile(QString("p%1.png").arg(n++), WritePng(k, size.width(), size.height()));
                const QImage expected = LibpngDecode(path);
                ASSERT_FALSE(expected.isNull()) << Describe(k, size.width(), size.height());
                const QImage fast = FastDecode(path, size);
                // Every kind here is one the quick path takes.
                ASSERT_FALSE(fast.isNull()) << Describe(k, size.width(), size.height());
                EXPECT_EQ(FirstDifference(fast, expected, 0), "") << Describe(k, size.width(), size.height());
            }
        }
    }
}

TEST(PngFast, ManyDataChunksAndShortPalettes)
{
    TempTree tree;
    int n = 0;
    const Kind kinds[] = {{PNG_COLOR_TYPE_RGB, 8, false, PNG_ALL_FILTERS, false, 37},
                          {PNG_COLOR_TYPE_RGB_ALPHA, 8, false, PNG_ALL_FILTERS, false, 64},
                          {PNG_COLOR_TYPE_PALETTE, 8, true, PNG_ALL_FILTERS, false, 16, 13},
                          {PNG_COLOR_TYPE_PALETTE, 4, false, PNG_ALL_FILTERS, false, 0, 3}};
    for (const Kind& k : kinds) {
        const QByteArray bytes = WritePng(k, 61, 29);
        if (k.idatBytes > 0) {
            ASSERT_GT(bytes.count("IDAT"), 3) << Describe(k, 61, 29);
        }
        const QString path = tree.WriteFile(QString("c%1.png").arg(n++), bytes);
        const QImage fast = FastDecode(path, QSize(61, 29));
        ASSERT_FALSE(fast.isNull()) << Describe(k, 61, 29);
        EXPECT_EQ(FirstDifference(fast, LibpngDecode(path), 0), "") << Describe(k, 61, 29);
    }
}

TEST(PngFast, ReducedIsLibpngSmoothlyScaled)
{
    TempTree tree;
    int n = 0;
    const QSize targets[] = {{97, 61}, {300, 1}, {1, 200}, {150, 100}, {299, 200}, {13, 7}};
    for (Kind k : AllKinds()) {
        const QString path = tree.WriteFile(QString("r%1.png").arg(n++), WritePng(k, 300, 200));
        const QImage decoded = LibpngDecode(path);
        ASSERT_FALSE(decoded.isNull());
        for (QSize target : targets) {
            const QImage fast = FastDecode(path, target);
            ASSERT_FALSE(fast.isNull()) << Describe(k, 300, 200);
            ASSERT_EQ(fast.size(), target);
            // Qt's smooth scale works in fixed point; the box filter here is exact.
            EXPECT_EQ(FirstDifference(fast, SmoothReference(decoded, target), 2), "")
                << Describe(k, 300, 200) << " to " << target.width() << "x" << target.height();
        }
    }
}

TEST(PngFast, LoaderRendersAsBefore)
{
    TempTree tree;
    int n = 0;
    // Kinds the quick path takes and kinds it leaves to libpng.
    const Kind kinds[] = {{PNG_COLOR_TYPE_RGB, 8}, {PNG_COLOR_TYPE_RGB_ALPHA, 8},
                          {PNG_COLOR_TYPE_PALETTE, 2, true}, {PNG_COLOR_TYPE_RGB, 8, false, PNG_ALL_FILTERS, true},
                          {PNG_COLOR_TYPE_RGB_ALPHA, 16, false, PNG_ALL_FILTERS, true}};
    for (const Kind& k : kinds) {
        const QString path = tree.WriteFile(QString("l%1.png").arg(n++), WritePng(k, 90, 70));
        const QImage decoded = LibpngDecode(path);
        const auto picture = PictureFile::Open(path);
        ASSERT_EQ(picture->NaturalSize(), QSize(90, 70));
        for (QSize target : {QSize(90, 70), QSize(45, 35), QSize(200, 100), QSize(100, 20)}) {
            const int tolerance = target == QSize(90, 70) ? 0 : 2;
            EXPECT_EQ(FirstDifference(picture->Render(target), SmoothReference(decoded, target), tolerance), "")
                << Describe(k, 90, 70) << " to " << target.width() << "x" << target.height();
        }
    }
}

TEST(PngFast, LeavesInterlacedAndDamagedFilesToLibpng)
{
    TempTree tree;
    const Kind plain{PNG_COLOR_TYPE_RGB, 8, false, PNG_ALL_FILTERS, false, 200};
    const QByteArray good = WritePng(plain, 80, 60);
    QByteArray flipped = good;
    flipped[good.size() / 2] = char(flipped[good.size() / 2] ^ 0x55);
    const std::string notThisFormat = codec::KindName(codec::ErrorKind::NotThisFormat),
                      damaged = codec::KindName(codec::ErrorKind::Damaged);
    const struct {
        const char* name;
        QByteArray bytes;
        std::string why;
    } cases[] = {
        {"interlaced", WritePng({PNG_COLOR_TYPE_RGB, 8, false, PNG_ALL_FILTERS, true}, 80, 60), notThisFormat},
        {"half", good.left(good.size() / 2), damaged},
        {"noend", good.left(good.size() - 12 - 40), damaged},
        {"damaged", flipped, damaged},
    };
    for (const auto& c : cases) {
        const QString path = tree.WriteFile(QString(c.name) + ".png", c.bytes);
        EXPECT_EQ(Declined(path, QSize(80, 60)), c.why) << c.name;
        EXPECT_EQ(Declined(path, QSize(40, 30)), c.why) << c.name;
        // The loader shows what libpng makes of it, damaged rows grey.
        const QImage decoded = LibpngDecode(path);
        ASSERT_FALSE(decoded.isNull()) << c.name;
        EXPECT_EQ(FirstDifference(PictureFile::Open(path)->Render(QSize(80, 60)), SmoothReference(decoded, QSize(80, 60)), 0), "")
            << c.name;
    }
}

// A chunk as it stands in a file: length, type, data and checksum.
QByteArray Chunk(const char* type, const QByteArray& data)
{
    QByteArray chunk;
    const auto be32 = [&](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            chunk.append(char((v >> shift) & 0xFF));
    };
    be32(std::uint32_t(data.size()));
    chunk.append(type, 4);
    chunk.append(data);
    be32(std::uint32_t(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(chunk.constData() + 4),
                             uInt(chunk.size() - 4))));
    return chunk;
}

// The file with the zlib checksum that ends the picture data moved into an
// IDAT chunk of its own, changed by flip. The last IDAT must end right
// before IEND.
QByteArray ChecksumApart(const QByteArray& png, char flip)
{
    const qsizetype end = png.size() - 12;
    qsizetype at = png.lastIndexOf("IDAT", end) - 4;
    const auto length = qsizetype(std::uint8_t(png[at]) << 24 | std::uint8_t(png[at + 1]) << 16 |
                                  std::uint8_t(png[at + 2]) << 8 | std::uint8_t(png[at + 3]));
    const QByteArray data = png.mid(at + 8, length);
    QByteArray checksum = data.right(4);
    checksum[3] = char(checksum[3] ^ flip);
    return png.left(at) + Chunk("IDAT", data.left(length - 4)) + Chunk("IDAT", checksum) + png.mid(end);
}

// Pictures with this much row data or more are inflated on a second thread
// while their rows are taken.
TEST(PngFast, LargePicturesAsTheyAreInflated)
{
    TempTree tree;
    int n = 0;
    const struct {
        Kind kind;
        QSize size;
    } cases[] = {{{PNG_COLOR_TYPE_RGB, 8}, {1100, 800}},
                 {{PNG_COLOR_TYPE_RGB_ALPHA, 8, false, PNG_ALL_FILTERS, false, 100000}, {1000, 700}},
                 {{PNG_COLOR_TYPE_GRAY, 16, true}, {1100, 1000}},
                 {{PNG_COLOR_TYPE_PALETTE, 8, true}, {1500, 1500}}};
    for (const auto& c : cases) {
        const QString path = tree.WriteFile(QString("big%1.png").arg(n++), WritePng(c.kind, c.size.width(), c.size.height()));
        const QImage decoded = LibpngDecode(path);
        ASSERT_FALSE(decoded.isNull());
        const QImage whole = FastDecode(path, c.size);
        ASSERT_FALSE(whole.isNull()) << Describe(c.kind, c.size.width(), c.size.height());
        EXPECT_EQ(FirstDifference(whole, decoded, 0), "") << Describe(c.kind, c.size.width(), c.size.height());
        const QSize target(c.size.width() / 3, c.size.height() / 3);
        EXPECT_EQ(FirstDifference(FastDecode(path, target), SmoothReference(decoded, target), 2), "")
            << Describe(c.kind, c.size.width(), c.size.height());
    }

    // Damage found while the rows are being taken ends the decode, without
    // a hang, and leaves the file to libpng.
    const QSize size(1100, 800);
    const QByteArray good = WritePng({PNG_COLOR_TYPE_RGB, 8}, size.width(), size.height());
    const qsizetype end = good.size() - 12; // the IEND chunk
    QByteArray flipped = good;
    flipped[good.size() * 3 / 4] = char(flipped[good.size() * 3 / 4] ^ 0x55);
    // One row fewer in the header: the data then holds more than the rows.
    QByteArray shorter = good;
    shorter.replace(8, 25, Chunk("IHDR", good.mid(16, 13).replace(7, 1, QByteArray(1, char((size.height() - 1) & 0xFF)))));
    const QString apart = tree.WriteFile("apart.png", ChecksumApart(good, 0));
    EXPECT_EQ(FirstDifference(FastDecode(apart, size), LibpngDecode(apart), 0), "");
    const struct {
        const char* name;
        QByteArray bytes;
    } damaged[] = {
        {"flipped", flipped},
        // Every row is there; only the checksum read after them is wrong.
        {"checksum", ChecksumApart(good, 1)},
        {"half", good.left(good.size() / 2)},
        {"more data", good.left(end) + Chunk("IDAT", QByteArray(40, 'x')) + good.mid(end)},
        {"more rows", shorter},
    };
    for (const auto& d : damaged) {
        const QString path = tree.WriteFile(QString("bad%1.png").arg(n++), d.bytes);
        EXPECT_EQ(Declined(path, size), "damaged") << d.name;
        EXPECT_EQ(Declined(path, size / 4), "damaged") << d.name;
    }
}

} // namespace
