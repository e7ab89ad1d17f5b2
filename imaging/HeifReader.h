#pragma once
// HEIF/HEIC and AVIF through libheif: the primary image's header with what the
// file says about its colours, and decoding with the stored rotation, mirroring
// and cropping applied.
#include <cstddef>
#include <string>

#include <QImage>
#include <QSize>

#include "imaging/ColourProfile.h"

struct HeifHeader {
    QSize size;           // upright, as libheif hands the picture out
    bool alpha = false;
    ColourProfile colour; // ICC, else nclx primaries and transfer; empty for sRGB
};

// Whether a file's first bytes are an ftyp box naming a HEIF or AVIF brand.
bool IsHeif(const unsigned char* head, std::size_t size);

// Reads what describes the primary image from an open file (the descriptor
// stays open and its position is not used); no pixels are decoded. False
// (with *why) when libheif cannot read it.
bool ReadHeifHeader(int fd, HeifHeader* header, std::string* why);

// Decodes the primary image: Format_RGB32, or Format_ARGB32_Premultiplied
// when it has transparency. A null image (with *why) when the file is damaged
// or cut short, or the picture would take more than maxBytes.
QImage DecodeHeif(int fd, std::size_t maxBytes, std::string* why);
