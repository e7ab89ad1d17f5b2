#pragma once
// The built-in picture loader: Windows bitmaps (also RLE-compressed), JPEG,
// GIF (first frame), icons and cursors, PNG, HEIF/HEIC and AVIF, JPEG XL,
// Windows metafiles and enhanced metafiles, and WebP, TIFF and TGA through
// Qt's image plug-ins, recognised by content whatever the file's name (the
// table of formats in PictureFile.cpp).
#include <memory>

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

// The frames of an animated picture, decoded one at a time as they are
// shown, each the whole picture scaled to the size given (as Render scales).
// Used by one thread at a time.
class PictureFrames {
public:
    struct Frame {
        QImage image;
        int delayMs = 0; // how long it stays, as played (ShownDelay)
        int index = 0;   // 0 for the first frame, again after the last
    };
    // Browsers play the frames that say 0 or 10 ms (or nothing) at 100 ms;
    // so do we, or such files would race.
    static int ShownDelay(int storedMs) { return storedMs <= 10 ? 100 : storedMs; }

    virtual ~PictureFrames() = default;
    // How often the animation plays: 0 without end.
    virtual int Plays() const = 0;
    // The next frame, from the first again after the last. Raises
    // RuntimeError when it cannot be decoded.
    virtual Frame Next() = 0;
};

class PictureFile {
public:
    // Files that are read into memory whole (everything but JPEG, which is
    // streamed from the file), and pictures handed over in memory, are
    // refused past this size.
    static constexpr qint64 kMaxFileBytes = qint64(1) << 30;

    virtual ~PictureFile() = default;

    // Opens a picture and reads its natural size; raises RuntimeError
    // (TypeMismatch, "cannot read <path> as a picture: <why>") when the file
    // cannot be read as one of the built-in formats.
    static std::unique_ptr<PictureFile> Open(const QString& path);
    // The same for a picture already in memory (read from an archive, say),
    // with the same formats, limits and errors; name stands for it in
    // messages ("album.zip/p1.jpg"). The picture keeps the bytes (shared,
    // not copied) for its renders: nothing is written to disk.
    static std::unique_ptr<PictureFile> Open(const QString& name, const QByteArray& bytes);
    // The extensions files of the built-in formats usually have ("jpg", ...).
    static QStringList Extensions();

    // Width and height in pixels as the picture is shown: photos upright
    // (their EXIF or stored orientation applied), metafiles at 96 dots per inch.
    virtual QSize NaturalSize() const = 0;

    // The whole picture decoded and smoothly scaled to exactly size (photos
    // are decoded at that size rather than decoded whole and shrunk;
    // metafiles are drawn at it). Raises RuntimeError when decoding fails,
    // as Open does, and Overflow for a size that cannot be drawn.
    virtual QImage Render(QSize size) const = 0;

    // When the photo was taken, as its EXIF data says ("YYYY:MM:DD
    // HH:MM:SS"); empty when it does not say.
    virtual QString DateTaken() const { return {}; }

    // The frames of an animation scaled to size; null for a still picture
    // (a format without animations answers at once, the others read the
    // file). Raises RuntimeError as Render does.
    virtual std::unique_ptr<PictureFrames> Frames(QSize size) const
    {
        (void)size;
        return nullptr;
    }
};
