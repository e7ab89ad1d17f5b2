#pragma once
// The fit of a large picture to the screen, shared by bench_fit and
// bench_peers: the picture, the size, the timing and the two loaders both
// compare.
#include "imaging/PictureFile.h"

#include <QImage>
#include <QRandomGenerator>
#include <QSize>
#include <QString>

// After Qt: Imlib2.h brings in Xlib's macros.
#include <Imlib2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

// Smooth gradients with fine noise: compresses like a photo, not like a
// flat test card.
// With alpha, a soft wave of transparency over it.
inline QImage PhotoLike(int width, int height, bool alpha = false)
{
    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QRandomGenerator random(42);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const int noise = int(random.bounded(24u)) - 12;
            const int r = std::clamp(int(128 + 100 * std::sin(fx * 7 + fy * 3)) + noise, 0, 255);
            const int g = std::clamp(int(120 + 90 * std::cos(fy * 9 - fx * 2)) + noise, 0, 255);
            const int b = std::clamp(int(60 + 180 * fx * fy) + noise, 0, 255);
            const int a = alpha ? std::clamp(int(160 + 95 * std::sin(fx * 5 - fy * 4)) + noise, 0, 255) : 255;
            row[x] = qRgba(r, g, b, a);
        }
    }
    return image;
}

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double TimeMs(const std::function<void()>& work, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return Median(times);
}

// The picture fitted into 1920 x 1080 less the slide show's margins.
inline QSize FitFor(QSize natural)
{
    const double scale = std::min(double(1920 - 26) / natural.width(), double(1080 - 33) / natural.height());
    return QSize(int(natural.width() * scale), int(natural.height() * scale));
}

inline void Imlib2Fit(const std::string& path, QSize fit)
{
    Imlib_Image image = imlib_load_image_without_cache(path.c_str());
    if (!image)
        return;
    imlib_context_set_image(image);
    imlib_context_set_anti_alias(1);
    const int w = imlib_image_get_width(), h = imlib_image_get_height();
    Imlib_Image scaled = imlib_create_cropped_scaled_image(0, 0, w, h, fit.width(), fit.height());
    imlib_free_image_and_decache();
    if (scaled) {
        imlib_context_set_image(scaled);
        imlib_free_image_and_decache();
    }
}

inline QImage VelmoraFit(const QString& path)
{
    const auto picture = PictureFile::Open(path);
    return picture->Render(FitFor(picture->NaturalSize()));
}
