#pragma once
// PNG through libpng: the header with what the file says about its colours,
// and decoding that keeps whatever rows arrived before damage or an early end.
#include <cstddef>
#include <cstdio>
#include <string>

#include <QImage>
#include <QSize>

#include "imaging/ColourProfile.h"

struct PngHeader {
    QSize size;
    ColourProfile colour; // iCCP, else sRGB, else cHRM and gAMA; empty for sRGB
};

// Reads the chunks before the picture data. False (with *why) when the file
// is not a PNG whose header libpng can read.
bool ReadPngHeader(std::FILE* file, PngHeader* header, std::string* why);

// Decodes the whole picture: Format_RGB32, or Format_ARGB32 when it has
// transparency. Data that ends early or is damaged after the header keeps
// the rows decoded before it, the rest grey. A null image (with *why) when
// the header cannot be read or the picture would take more than maxBytes.
QImage DecodePng(std::FILE* file, std::size_t maxBytes, std::string* why);
