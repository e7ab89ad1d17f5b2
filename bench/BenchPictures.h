#pragma once
// Pictures the benchmarks make for themselves.
#include <QImage>
#include <QString>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

// Smooth colour fields with fine noise: decodes like a photo, not like a
// flat test card. With alpha, a soft wave of transparency over it.
inline QImage Photo(int width, int height, int seed, bool alpha = false)
{
    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const int noise = int(random.bounded(24u)) - 12;
            const int a = alpha ? std::clamp(int(160 + 95 * std::sin(fx * 5 - fy * 4)) + noise, 0, 255) : 255;
            row[x] = qRgba(std::clamp(int(128 + 100 * std::sin(fx * 7 + fy * 3 + seed)) + noise, 0, 255),
                           std::clamp(int(120 + 90 * std::cos(fy * 9 - fx * 2 + seed)) + noise, 0, 255),
                           std::clamp(int(60 + 180 * fx * fy) + noise, 0, 255), a);
        }
    }
    return image;
}

// The 24 MP pictures of a held-key run: IMG_0000.jpg and on, JPEG at
// quality 90, PNG at Qt's default compression.
inline bool WriteShowPicture(const QString& folder, const char* kind, int i)
{
    const bool jpeg = QString::fromLatin1(kind) == QLatin1String("jpg");
    return Photo(6000, 4000, i).save(folder + QStringLiteral("/IMG_%1.%2").arg(i, 4, 10, QChar('0')).arg(kind), kind,
                                     jpeg ? 90 : -1);
}
