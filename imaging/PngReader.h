#pragma once
// PNG through libpng: the header with what the file says about its colours,
// and decoding that keeps whatever rows arrived before damage or an early end.
#include <cstddef>
#include <cstdio>

#include <QImage>
#include <QSize>

#include "codecs/CodecResult.h"
#include "imaging/ColourProfile.h"

struct PngHeader {
    QSize size;
    ColourProfile colour; // iCCP, else sRGB, else cHRM and gAMA; empty for sRGB
};

// Reads the chunks before the picture data. NotThisFormat when the data does
// not start as a PNG, TooLarge past libpng's size limits, Damaged when the
// header is damaged or ends early, ReadFailed when the file cannot be read.
codec::Result<PngHeader> ReadPngHeader(std::FILE* file);

// Decodes the whole picture: Format_RGB32, or Format_ARGB32 when it has
// transparency. Data that ends early or is damaged after the header keeps
// the rows decoded before it, the rest grey: that is still a picture. Errors
// as for the header, and TooLarge when the picture would take more than
// maxBytes, Stopped when the decode was asked to stop.
codec::Result<QImage> DecodePng(std::FILE* file, std::size_t maxBytes);
