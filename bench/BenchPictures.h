#pragma once
// Pictures the benchmarks make for themselves.
#include <QImage>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

// Smooth colour fields with fine noise: decodes like a photo, not like a
// flat test card.
inline QImage Photo(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const int noise = int(random.bounded(24u)) - 12;
            row[x] = qRgb(std::clamp(int(128 + 100 * std::sin(fx * 7 + fy * 3 + seed)) + noise, 0, 255),
                          std::clamp(int(120 + 90 * std::cos(fy * 9 - fx * 2 + seed)) + noise, 0, 255),
                          std::clamp(int(60 + 180 * fx * fy) + noise, 0, 255));
        }
    }
    return image;
}
