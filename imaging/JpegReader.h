#pragma once
// JPEG through libjpeg: the frame header with the EXIF orientation, and
// decoding with the decoder's own DCT scaling, so that a large photo never
// needs a buffer of its full size.
#include <cstddef>
#include <cstdio>

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include "codecs/CodecResult.h"

struct JpegHeader {
    QSize stored;        // width and height as the file stores the pixels
    int orientation = 1; // EXIF orientation 1..8 (1 when absent or invalid)
    QByteArray icc;      // the embedded colour profile, empty when there is none
    QString dateTaken;   // EXIF DateTimeOriginal as stored ("YYYY:MM:DD HH:MM:SS"), or empty
};

// Reads up to the start of the picture data. NotThisFormat when the data does
// not start as a JPEG, Unsupported for a JPEG process libjpeg does not decode,
// Damaged when the header is damaged or ends early, ReadFailed when the file
// cannot be read.
codec::Result<JpegHeader> ReadJpegHeader(std::FILE* file);

// Decodes at the smallest DCT scale n/8 whose size is at least atLeast in
// both directions (or at full size when none is), as stored (no orientation
// applied). When that is larger than atLeast, the rows are area-averaged
// down to exactly atLeast as they come. Format_RGB32. Picture data that ends
// early still gives the picture, grey below what arrived. Errors as for the
// header, and TooLarge when the output would exceed maxBytes (or libjpeg's
// working memory its cap), Stopped when the decode was asked to stop.
codec::Result<QImage> DecodeJpegScaled(std::FILE* file, QSize atLeast, std::size_t maxBytes);

// The orientation tag of an APP1 payload ("Exif\0\0" and a TIFF block);
// 1 when there is none or it is out of range.
int ExifOrientation(const unsigned char* data, std::size_t size);

// The date the photo was taken (the Exif sub-IFD's DateTimeOriginal) of an
// APP1 payload, as stored; empty when there is none or it is damaged.
QString ExifDateTaken(const unsigned char* data, std::size_t size);

// Turns a picture stored with the given EXIF orientation upright.
QImage ApplyOrientation(const QImage& image, int orientation);

// Whether the orientation swaps width and height (5 to 8).
inline bool OrientationSwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }
