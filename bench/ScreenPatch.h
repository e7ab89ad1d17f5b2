#pragma once
// A 16 x 16 patch of a window as the benchmarks that watch other programs'
// windows see it: its pixels, or none while it is one flat colour there
// (nothing drawn yet, or a plain background).
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <vector>

constexpr int kPatch = 16;

inline std::vector<unsigned long> Patch(Display* display, Window window, int x, int y)
{
    XImage* image = XGetImage(display, window, x, y, kPatch, kPatch, AllPlanes, ZPixmap);
    if (!image)
        return {};
    std::vector<unsigned long> pixels;
    for (int j = 0; j < kPatch; ++j)
        for (int i = 0; i < kPatch; ++i)
            pixels.push_back(XGetPixel(image, i, j));
    XDestroyImage(image);
    if (std::all_of(pixels.begin(), pixels.end(), [&](unsigned long p) { return p == pixels.front(); }))
        return {};
    return pixels;
}
