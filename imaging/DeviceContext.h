#pragma once
// Device contexts: handles that stand for a drawing surface (an image), with
// the stretch-blit calls that plug-in pictures are drawn through.
#include <cstdint>

#include "imaging/Dib.h"

class QImage;

using HDC = std::intptr_t; // 0 is no device context

inline constexpr int BLACKONWHITE = 1;
inline constexpr int WHITEONBLACK = 2;
inline constexpr int COLORONCOLOR = 3;
inline constexpr int HALFTONE = 4;
inline constexpr std::uint32_t DIB_RGB_COLORS = 0;
inline constexpr std::uint32_t SRCCOPY = 0x00CC0020;
inline constexpr int GDI_ERROR = -1;

// A device context that draws into *surface, which must outlive it.
// New contexts start in BLACKONWHITE mode.
HDC CreateImageDC(QImage* surface);
void DeleteDC(HDC hdc);

// The current stretch mode, 0 for an unknown handle.
int GetStretchBltMode(HDC hdc);
// Sets the mode and returns the previous one; 0 for an unknown handle or mode.
int SetStretchBltMode(HDC hdc, int mode);

// Draws the source rectangle of a DIB into the destination rectangle of the
// surface, scaled (negative sizes mirror). The destination is clipped to the
// surface, never refused. COLORONCOLOR and the two ...ONWHITE/BLACK modes
// sample nearest pixels; HALFTONE smooths. Returns the number of scan lines
// drawn, 0 on failure (unknown handle, unusable DIB, usage or rop unsupported).
int StretchDIBits(HDC hdc, int xDest, int yDest, int destWidth, int destHeight, int xSrc, int ySrc,
                  int srcWidth, int srcHeight, const void* bits, const BITMAPINFO* info,
                  std::uint32_t usage, std::uint32_t rop);
