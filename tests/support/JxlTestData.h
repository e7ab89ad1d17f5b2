#pragma once
// JPEG XL pictures for the tests that cjxl cannot write: with a stored
// orientation (by libjxl's encoder), and one declaring a vast size.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <vector>

#include "support/JxlEncode.h"

// A lossless JPEG XL picture with an orientation, by libjxl's encoder (cjxl
// of Debian 12 writes none).
inline QByteArray JxlApi(const QImage& source, JxlOrientation orientation)
{
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < rgb.height(); ++y)
        pixels.insert(pixels.end(), rgb.constScanLine(y), rgb.constScanLine(y) + rgb.width() * 3);
    const std::vector<std::uint8_t> jxl =
        EncodeJxl(pixels, std::uint32_t(rgb.width()), std::uint32_t(rgb.height()), 3, orientation);
    return QByteArray(reinterpret_cast<const char*>(jxl.data()), qsizetype(jxl.size()));
}

// A codestream of 100000 x 100000 pixels and nothing else: its size header
// (not small; height 100000 in 18 bits; width by ratio 1:1), then the
// default image header.
inline QByteArray HugeJxl()
{
    QByteArray jxl("\xFF\x0A", 2);
    std::uint64_t bits = 0;
    int count = 0;
    const auto put = [&](std::uint64_t value, int n) { bits |= value << count, count += n; };
    put(0, 1), put(2, 2), put(99999, 18), put(1, 3), put(1, 1);
    for (int i = 0; i < 8; ++i, bits >>= 8)
        jxl.append(char(bits & 0xFF));
    return jxl + QByteArray(64, '\0');
}
