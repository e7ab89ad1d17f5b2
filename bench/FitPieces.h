#pragma once
// The fit of a large picture to the screen, shared by bench_fit and
// bench_peers: the picture, the size, the timing and the two loaders both
// compare.
#include "imaging/PictureFile.h"

#include "BenchPictures.h"
#include "BenchStats.h"

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

// The median of runs of one piece of work on its own, for the parts of a
// figure; comparisons alternate their contenders (Alternate).
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
