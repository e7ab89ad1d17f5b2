#pragma once
// A quick way through the PNGs most files are: the picture data inflated
// with ISA-L while the rows already there are unfiltered and reduced
// straight to the size shown, with no full-size picture in between. Anything it does not take (interlace,
// animation, unusual chunks, damage of any kind) it leaves to libpng.
#include "codecs/CodecResult.h"

#include <cstddef>
#include <cstdio>

#include <QImage>
#include <QSize>

// Decodes the PNG read from file (at its start) for showing at size.
// When size is smaller than the picture on at least one side and no larger
// on the other, the result is the picture reduced to size by area averaging,
// as Format_RGB32 or, with transparency, Format_ARGB32_Premultiplied.
// Otherwise it is the whole picture exactly as DecodePng gives it
// (Format_RGB32 or Format_ARGB32). An error, with the reason, when the file
// is not one this path takes (NotThisFormat), is damaged in any way
// (Damaged), would need more than maxBytes (TooLarge; also NotThisFormat
// when its inflated rows would take more than libpng's whole picture and a
// margin, as 16-bit files can), or the decode was asked to stop (Stopped):
// the caller then rewinds and uses DecodePng. Large pictures are inflated on
// a second thread that ends before this returns.
codec::Result<QImage> DecodePngFast(std::FILE* file, QSize size, std::size_t maxBytes);
