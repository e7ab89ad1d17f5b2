#pragma once
// Picture files written byte by byte for the loader's tests.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <stdexcept>
#include <vector>

// Little-endian byte writer.
class Bytes {
public:
    Bytes& U8(int v)
    {
        mData.append(char(v & 0xFF));
        return *this;
    }
    Bytes& U16(int v) { return U8(v).U8(v >> 8); }
    Bytes& U32(std::uint32_t v) { return U16(int(v & 0xFFFF)).U16(int(v >> 16)); }
    Bytes& I32(std::int32_t v) { return U32(std::uint32_t(v)); }
    Bytes& Raw(const QByteArray& b)
    {
        mData.append(b);
        return *this;
    }
    Bytes& Raw(std::initializer_list<int> b)
    {
        for (int v : b)
            U8(v);
        return *this;
    }
    const QByteArray& Data() const { return mData; }
    qsizetype Size() const { return mData.size(); }
    // Overwrites a 32-bit value already written.
    void Patch32(qsizetype at, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            mData[at + i] = char((v >> (8 * i)) & 0xFF);
    }

private:
    QByteArray mData;
};

inline QByteArray Encode(const QImage& image, const char* format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (quality >= 0)
        writer.setQuality(quality);
    if (!writer.write(image))
        throw std::runtime_error("cannot encode a test picture");
    return bytes;
}

// Four quadrants: red, green / blue, white.
inline QImage Quadrants(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            image.setPixel(x, y, bottom ? (right ? 0xFFFFFFFF : 0xFF0000FF) : (right ? 0xFF00FF00 : 0xFFFF0000));
        }
    return image;
}

// Whether a pixel is within tol of a colour in each channel.
inline bool Near(QRgb pixel, QRgb want, int tol)
{
    return std::abs(qRed(pixel) - qRed(want)) <= tol && std::abs(qGreen(pixel) - qGreen(want)) <= tol &&
           std::abs(qBlue(pixel) - qBlue(want)) <= tol;
}

// Checks the quadrant centres of a picture drawn from Quadrants().
inline void ExpectQuadrants(const QImage& image, QRgb tl, QRgb tr, QRgb bl, QRgb br, int tol)
{
    const int w = image.width(), h = image.height();
    const QPoint at[4] = {{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}};
    const QRgb want[4] = {tl, tr, bl, br};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Near(image.pixel(at[i]), want[i], tol)) << "quadrant " << i << ": " << std::hex << image.pixel(at[i]);
}

// A bitmap file: file header, 40-byte info header, palette, pixel data.
inline QByteArray BitmapFile(int width, int height, int bits, std::uint32_t compression,
                             const std::vector<QRgb>& palette, const QByteArray& pixels,
                             std::uint32_t sizeImage = 0xFFFFFFFF)
{
    Bytes b;
    const std::uint32_t offBits = 14 + 40 + std::uint32_t(palette.size()) * 4;
    b.Raw({'B', 'M'}).U32(offBits + std::uint32_t(pixels.size())).U32(0).U32(offBits);
    b.U32(40).I32(width).I32(height).U16(1).U16(bits).U32(compression);
    b.U32(sizeImage == 0xFFFFFFFF ? std::uint32_t(pixels.size()) : sizeImage);
    b.I32(2835).I32(2835).U32(std::uint32_t(palette.size())).U32(0);
    for (QRgb c : palette)
        b.U8(qBlue(c)).U8(qGreen(c)).U8(qRed(c)).U8(0);
    b.Raw(pixels);
    return b.Data();
}

// A bitmap of one colour, written by Qt.
inline QByteArray Bmp(int w, int h, QColor colour = Qt::red)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return Encode(image, "bmp");
}

// An RLE8 bitmap: the upper half red, the lower half blue.
inline QByteArray Rle8(int w, int h)
{
    QByteArray pixels;
    for (int row = 0; row < h; ++row) { // bottom-up
        for (int left = w; left > 0; left -= 255)
            pixels.append(char(std::min(left, 255))).append(char(row < h / 2 ? 1 : 0));
        pixels.append(2, '\0');
    }
    pixels.append(char(0)).append(char(1));
    return BitmapFile(w, h, 8, 1, {0xFF0000, 0x0000FF}, pixels);
}

// A picture of the test plug-in's own format: one solid colour.
inline QByteArray Vtp(int w, int h, int r, int g, int b)
{
    return Bytes().Raw({'V', 'T', 'P', '1'}).U32(w).U32(h).Raw({24, r, g, b}).Data();
}

// jpeg with an APP1 segment holding tiff (an EXIF TIFF block) after its start.
inline QByteArray WithExif(const QByteArray& jpeg, const QByteArray& tiff)
{
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    Bytes segment;
    segment.Raw({0xFF, 0xE1}).U8((payload.size() + 2) >> 8).U8(payload.size() + 2).Raw(payload);
    return jpeg.left(2) + segment.Data() + jpeg.mid(2);
}

// An EXIF TIFF block whose Exif sub-IFD holds DateTimeOriginal (date with its NUL).
inline QByteArray ExifWithDate(const QByteArray& date, bool bigEndian)
{
    Bytes tiff;
    if (bigEndian) {
        const auto u16 = [&](int v) { tiff.U8(v >> 8).U8(v); };
        const auto u32 = [&](std::uint32_t v) { u16(int(v >> 16)); u16(int(v & 0xFFFF)); };
        tiff.Raw({'M', 'M', 0, 42});
        u32(8);
        u16(1); u16(0x8769); u16(4); u32(1); u32(26); u32(0);
        u16(1); u16(0x9003); u16(2); u32(std::uint32_t(date.size())); u32(44); u32(0);
    } else {
        tiff.Raw({'I', 'I', 42, 0}).U32(8);
        tiff.U16(1).U16(0x8769).U16(4).U32(1).U32(26).U32(0);
        tiff.U16(1).U16(0x9003).U16(2).U32(std::uint32_t(date.size())).U32(44).U32(0);
    }
    return tiff.Raw(date).Data();
}
