#pragma once
// Pictures shown as their files describe their colours: pixels in a file's
// own colour space (an embedded ICC profile, or primaries and a transfer
// curve) are converted to sRGB, the colour space the screen is taken to have.
// Pictures that declare nothing are taken as sRGB and left alone.
#include <QByteArray>
#include <QColorSpace>
#include <QImage>

// What a file says about its colours: an ICC profile, or a colour space built
// from its tags (PNG gAMA/cHRM, HEIF nclx). Both empty means sRGB.
struct ColourProfile {
    QByteArray icc;
    QColorSpace space;

    bool IsEmpty() const { return icc.isEmpty() && !space.isValid(); }
};

// Converts an image to sRGB in place, keeping its format. RGB spaces that
// Qt's colour spaces read (matrix and curves) use Qt's transforms; other
// profiles (lookup tables, grey, v4 profiles Qt refuses) LittleCMS. A profile
// neither can read, or one for another kind of data (CMYK, Lab), leaves the
// pixels as they are: the picture is still shown, in its stored colours, and
// velmora.decode says so once for that profile.
void ConvertToSrgb(QImage& image, const ColourProfile& profile);
