#pragma once
// JPEG XL through libjxl: the header with the colour profile of the decoded
// pixels, and decoding of the first frame with the stored orientation applied.
#include <cstddef>
#include <string>

#include <QImage>
#include <QSize>

#include "imaging/ColourProfile.h"

struct JxlHeader {
    QSize size;           // upright: the stored orientation applied
    bool alpha = false;
    ColourProfile colour; // the decoded pixels' profile; empty for sRGB
};

// Whether a file's first bytes are a JPEG XL codestream or container.
bool IsJxl(const unsigned char* head, std::size_t size);

// Reads the file from its start until the header and colour profile are
// known. False (with *why) when it is not JPEG XL that libjxl reads.
bool ReadJxlHeader(int fd, JxlHeader* header, std::string* why);

// Decodes the first frame: Format_RGB32, or Format_ARGB32_Premultiplied when
// it has transparency. A null image (with *why) when the file is damaged or
// cut short, or the picture would take more than maxBytes.
QImage DecodeJxl(int fd, std::size_t maxBytes, std::string* why);
