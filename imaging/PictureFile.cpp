#include "imaging/PictureFile.h"

#include "imaging/ApngReader.h"
#include "imaging/DecodeService.h"

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"
#include "codecs/Heif.h"
#include "codecs/Jxl.h"
#include "codecs/Recognise.h"
#include "codecs/AvifFrames.h"
#include "codecs/WebpFrames.h"
#include "codecs/qt/QtImageCodec.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "imaging/AreaReducer.h"
#include "imaging/CodecImage.h"
#include "imaging/ColourProfile.h"
#include "imaging/DecodeLog.h"
#include "imaging/Dib.h"
#include "imaging/JpegReader.h"
#include "imaging/Metafile.h"
#include "imaging/PngFast.h"
#include "imaging/PngReader.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <atomic>
#include <future>
#include <system_error>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A decoded or rendered picture never takes more than this; larger ones go
// to the plug-ins (or, for uncompressed bitmaps, are reduced band by band).
constexpr std::size_t kMaxPixelBytes = std::size_t(256) << 20;
// One band of a bitmap that is reduced band by band.
constexpr std::size_t kBandBytes = std::size_t(16) << 20;

using Kind = codec::ErrorKind;
// What a format's reader gives when it opens a file.
using Opened = codec::Result<std::unique_ptr<PictureFile>>;

template <class Picture, class... Args> Opened Made(Args&&... args)
{
    return std::unique_ptr<PictureFile>(std::make_unique<Picture>(std::forward<Args>(args)...));
}

// Whether a picture of this size, at 4 bytes a pixel, takes more than the cap.
bool OverPixelCap(QSize size)
{
    return codec::PixelBytes(size.width(), size.height(), 4) > kMaxPixelBytes;
}

// Whether a picture of this size may be decoded at all.
codec::Result<void> Fits(QSize size)
{
    if (size.isEmpty())
        return codec::Fail(Kind::Damaged, "picture size not positive");
    if (OverPixelCap(size))
        return codec::Fail(Kind::TooLarge, "picture too large");
    return {};
}

// The one way a reader's error leaves the loader: the RuntimeError that
// PictureFile.h promises, with the reader's message. No log line here: the
// show writes the one velmora.decode line for a picture the loader cannot
// read, when that picture is shown falling to the plug-ins (a picture
// decoded ahead may never be shown, or be decoded twice).
[[noreturn]] void Raise(const QString& path, const codec::Error& error)
{
    throw RuntimeError(ErrorKind::TypeMismatch,
                       "cannot read " + path.toStdString() + " as a picture: " + error.message);
}

template <class T> T OrRaise(const QString& path, codec::Result<T> result)
{
    if (!result)
        Raise(path, result.error());
    return std::move(*result);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : mFd(fd) {}
    ~FileDescriptor()
    {
        if (mFd >= 0)
            ::close(mFd);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : mFd(other.Release()) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return mFd; }
    int Release() { return std::exchange(mFd, -1); }

private:
    int mFd;
};

codec::Error ReadFailed(const char* why) { return codec::Fail(Kind::ReadFailed, why); }

struct RegularFile {
    FileDescriptor fd;
    qint64 size = 0;
};

// Opens a regular file for reading; folders, devices, FIFOs and sockets are
// refused. The open never waits (a FIFO without a writer would block it).
codec::Result<RegularFile> OpenRegularFile(const QString& path)
{
    FileDescriptor fd(::open(ToCodePage(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0)
        return ReadFailed(std::strerror(errno));
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0)
        return ReadFailed(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return ReadFailed("it is a folder");
    if (!S_ISREG(st.st_mode))
        return ReadFailed("not a regular file");
    return RegularFile{std::move(fd), st.st_size};
}

// Reads up to max bytes from the current position.
codec::Result<QByteArray> ReadBytes(int fd, qint64 max)
{
    QByteArray data;
    data.resize(qsizetype(max));
    qint64 got = 0;
    while (got < max) {
        const ssize_t n = ::read(fd, data.data() + got, std::size_t(max - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadFailed(std::strerror(errno));
        if (n == 0)
            break;
        got += n;
    }
    data.truncate(qsizetype(got));
    return data;
}

struct CloseStream {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileStream = std::unique_ptr<std::FILE, CloseStream>;

// A stdio stream on an open file, for the libraries that read through one.
codec::Result<FileStream> Stream(FileDescriptor fd)
{
    std::FILE* file = ::fdopen(fd.Get(), "rb");
    if (!file)
        return ReadFailed(std::strerror(errno));
    fd.Release();
    return FileStream(file);
}

// A picture as it was given: a file by its path, or its bytes in memory
// under a name for messages. A picture from memory keeps its bytes (shared,
// not copied) for every later render instead of reopening a file.
struct Input {
    QString name;
    QByteArray bytes;
    bool inMemory = false;
};

// The picture as the reader of its format takes it, open at its start: a
// descriptor or a stdio stream on the file, or the bytes in memory. Every
// reader has one way in whichever the picture came as; the bytes are never
// copied (a stdio stream on them reads them where they are).
class Source {
public:
    static codec::Result<Source> Open(const Input& input)
    {
        if (input.inMemory)
            return Source(input, FileDescriptor(-1), input.bytes.size());
        codec::Result<RegularFile> file = OpenRegularFile(input.name);
        if (!file)
            return file.error();
        return Source(input, std::move(file->fd), file->size);
    }

    const QString& Name() const { return mInput.name; }
    qint64 Size() const { return mSize; }

    // The first bytes (up to 64), for telling the format; a file is left at its start.
    codec::Result<QByteArray> Head() const
    {
        if (mInput.inMemory)
            return mInput.bytes.left(64);
        codec::Result<QByteArray> head = ReadBytes(mFd.Get(), 64);
        if (head && ::lseek(mFd.Get(), 0, SEEK_SET) != 0)
            return ReadFailed(std::strerror(errno));
        return head;
    }

    // For the libraries that read through stdio; a file's descriptor is
    // handed to the stream. The stream must not outlive this source.
    codec::Result<FileStream> Stream()
    {
        if (!mInput.inMemory)
            return ::Stream(std::move(mFd));
        // Opened for reading only: fmemopen never writes to the bytes.
        std::FILE* file = ::fmemopen(const_cast<char*>(mInput.bytes.constData()),
                                     std::size_t(mInput.bytes.size()), "rb");
        if (!file)
            return ReadFailed(std::strerror(errno));
        return FileStream(file);
    }

    // A header read through stdio by its format's reader (JPEG, PNG).
    template <class Header> codec::Result<Header> StreamHeader(codec::Result<Header> (*read)(std::FILE*))
    {
        const codec::Result<FileStream> file = Stream();
        if (!file)
            return file.error();
        return read(file->get());
    }

    // For the codec library (HEIF, JPEG XL) and its Qt readers.
    codec::Source Codec() const
    {
        return mInput.inMemory ? codec::Source::Memory(mInput.bytes.constData(), std::size_t(mSize))
                               : codec::Source::File(mFd.Get());
    }
    codec::QtImageSource Qt() const
    {
        return mInput.inMemory ? codec::QtImageSource{mInput.bytes, -1} : codec::QtImageSource{{}, mFd.Get()};
    }

    // size bytes from offset (fewer at the end), the file's position left alone.
    codec::Result<QByteArray> ReadAt(std::uint64_t offset, std::size_t size) const
    {
        if (mInput.inMemory)
            return offset >= std::uint64_t(mSize) ? QByteArray() : mInput.bytes.mid(qsizetype(offset), qsizetype(size));
        QByteArray bytes(qsizetype(size), Qt::Uninitialized);
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = codec::ReadAt(mFd.Get(), bytes.data() + got, size - got, offset + got);
            if (n < 0)
                return ReadFailed(std::strerror(errno));
            if (n == 0)
                break;
            got += std::size_t(n);
        }
        bytes.truncate(qsizetype(got));
        return bytes;
    }

    // Hands all of the picture's bytes to open.
    template <class Open> Opened Whole(Open open) const
    {
        if (mSize > PictureFile::kMaxFileBytes)
            return codec::Fail(Kind::TooLarge, "file too large");
        if (mInput.inMemory)
            return open(mInput.bytes);
        codec::Result<QByteArray> data = ReadBytes(mFd.Get(), mSize);
        if (!data)
            return data.error();
        if (data->size() != mSize)
            return codec::Fail(Kind::ReadFailed, "file changed while being read");
        return open(std::move(*data));
    }

private:
    Source(const Input& input, FileDescriptor fd, qint64 size) : mInput(input), mFd(std::move(fd)), mSize(size) {}

    // A copy (the name and bytes are shared, not copied): frames that play
    // from a source may outlive the picture they came from.
    Input mInput;
    FileDescriptor mFd;
    qint64 mSize;
};

std::uint32_t Le16(const unsigned char* p) { return p[0] | p[1] << 8; }
std::uint32_t Le32(const unsigned char* p) { return std::uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

// How each format is recognised from the first bytes of a file (n of them,
// up to 64).
bool IsJpeg(const unsigned char* p, std::size_t n) { return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF; }
bool IsPng(const unsigned char* p, std::size_t n) { return n >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0; }
bool IsGif(const unsigned char* p, std::size_t n)
{
    return n >= 6 && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0);
}
bool IsBitmap(const unsigned char* p, std::size_t n) { return n >= 14 + 4 && p[0] == 'B' && p[1] == 'M'; }
bool IsIconOf(const unsigned char* p, std::size_t n, std::uint32_t type)
{
    return n >= 6 && Le16(p) == 0 && Le16(p + 2) == type && Le16(p + 4) > 0;
}
bool IsIcon(const unsigned char* p, std::size_t n) { return IsIconOf(p, n, 1); }
bool IsCursor(const unsigned char* p, std::size_t n) { return IsIconOf(p, n, 2); }
bool IsWmf(const unsigned char* p, std::size_t n)
{
    if (n >= 4 && Le32(p) == 0x9AC6CDD7u) // placeable
        return true;
    // A plain metafile header: type 1 (memory) or 2 (disk), 9 words, version 1 or 3.
    return n >= 18 && (Le16(p) == 1 || Le16(p) == 2) && Le16(p + 2) == 9 &&
           (Le16(p + 4) == 0x0100 || Le16(p + 4) == 0x0300);
}
bool IsEmf(const unsigned char* p, std::size_t n) { return n >= 44 && Le32(p) == 1 && Le32(p + 40) == 0x464D4520u; }
// HEIF/AVIF, JPEG XL, WebP, TIFF and TGA: the codec library's (codecs/Recognise.h).

void CheckRenderSize(QSize size)
{
    if (const codec::Result<void> fits = Fits(size); !fits)
        throw RuntimeError(ErrorKind::Overflow, "cannot render at that size: " + fits.error().message);
}

// The picture smoothly scaled (area averaging when reducing) to exactly size,
// as Format_RGB32 or, with transparency, Format_ARGB32_Premultiplied.
QImage SmoothTo(const QImage& image, QSize size)
{
    const QImage::Format format =
        image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    QImage out = image.size() == size
                     ? image
                     : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (out.format() != format)
        out = out.convertToFormat(format);
    if (out.isNull() || out.size() != size)
        throw RuntimeError(ErrorKind::Overflow, "out of memory while scaling a picture");
    return out;
}

// ---------------------------------------------------------------- JPEG

class JpegPicture : public PictureFile {
public:
    JpegPicture(const Input& input, const JpegHeader& header) : mInput(input), mHeader(header) {}

    QSize NaturalSize() const override
    {
        return OrientationSwapsSides(mHeader.orientation) ? mHeader.stored.transposed()
                                                          : mHeader.stored;
    }

    QImage Render(QSize size) const override
    {
        CheckRenderSize(size);
        Source source = OrRaise(mInput.name, Source::Open(mInput));
        const FileStream file = OrRaise(mInput.name, source.Stream());
        const QSize stored = OrientationSwapsSides(mHeader.orientation) ? size.transposed() : size;
        const QImage decoded = OrRaise(mInput.name, DecodeJpegScaled(file.get(), stored, kMaxPixelBytes));
        QImage shown = SmoothTo(ApplyOrientation(decoded, mHeader.orientation), size);
        // Converted at the size shown, where it costs least.
        ConvertToSrgb(shown, ColourProfile{mHeader.icc, {}});
        return shown;
    }

    QString DateTaken() const override { return mHeader.dateTaken; }

    static Opened Open(Source& source, const Input& input)
    {
        const codec::Result<JpegHeader> header = source.StreamHeader(ReadJpegHeader);
        if (!header)
            return header.error();
        return Made<JpegPicture>(input, *header);
    }

private:
    Input mInput;
    JpegHeader mHeader;
};

// SmoothTo, then the colours Qt's reader found in the file turned into sRGB.
QImage SmoothInSrgb(const QImage& image, QSize size)
{
    QImage shown = SmoothTo(image, size);
    ConvertToSrgb(shown, ColourProfile{{}, image.colorSpace()});
    return shown;
}

// ---------------------------------------------------------------- Animations

// What the frames of every animated format keep while they play: the file,
// open (before the reader that reads it), its name for messages, the size
// shown and the colours' profile.
struct AnimationFrames : PictureFrames {
    AnimationFrames(const Input& input, QSize shown, ColourProfile profile)
        : source((CheckRenderSize(shown), OrRaise(input.name, Source::Open(input)))), name(input.name),
          size(shown), colour(std::move(profile))
    {
    }

    // The reader, into reader, when the file has an animation for it
    // (false for NotThisFormat); raises when it fails otherwise.
    template <class Reader> bool Take(Reader& reader, codec::Result<Reader> opened) const
    {
        if (!opened && opened.error().kind == Kind::NotThisFormat)
            return false;
        reader = OrRaise(name, std::move(opened));
        return true;
    }

    // Raises unless the frames still have the size the picture opened with.
    void CheckUnchanged(QSize frames, QSize natural) const
    {
        if (frames != natural)
            Raise(name, codec::Fail(Kind::Damaged, "file changed since it was opened"));
    }

    // A frame as shown: the canvas scaled to the size and put into sRGB, in
    // an image of its own (the canvas may be a decoder's memory, which its
    // next frame overwrites).
    Frame Shown(const QImage& canvas, int delayMs, int index) const
    {
        QImage shown = SmoothTo(canvas.size() == size ? canvas.copy() : canvas, size);
        ConvertToSrgb(shown, colour);
        return {std::move(shown), ShownDelay(delayMs), index};
    }

    // The same for a frame on a codec reader's canvas. Opaque, the canvas
    // is already Qt's RGB32, which the screen takes without blending.
    template <class Reader> Frame ShownCanvas(const codec::CanvasFrame& frame, const Reader& reader) const
    {
        const QImage canvas(frame.bgra, reader.Width(), reader.Height(), qsizetype(reader.Width()) * 4,
                            reader.Alpha() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        return Shown(canvas, frame.delayMs, frame.index);
    }

    Source source;
    QString name;
    QSize size;
    ColourProfile colour;
};

// ---------------------------------------------------------------- PNG

// Opening reads the header; every render decodes the file (or the bytes in
// memory) anew (see FileDecodedPicture below for why nothing is held).
// The frames of an animated PNG: the file stays open while they play.
struct ApngFrames : AnimationFrames {
    using AnimationFrames::AnimationFrames;
    int Plays() const override { return reader->Plays(); }
    Frame Next() override
    {
        const ApngReader::Frame frame = OrRaise(name, reader->Next());
        return Shown(frame.canvas, frame.delayMs, frame.index);
    }

    std::unique_ptr<ApngReader> reader;
};

class PngPicture : public PictureFile {
public:
    PngPicture(const Input& input, PngHeader header) : mInput(input), mHeader(std::move(header)) {}

    QSize NaturalSize() const override { return mHeader.size; }

    QImage Render(QSize size) const override
    {
        CheckRenderSize(size);
        QImage shown = SmoothTo(OrRaise(mInput.name, Decode(size)), size);
        ConvertToSrgb(shown, mHeader.colour);
        return shown;
    }

    std::unique_ptr<PictureFrames> Frames(QSize size) const override
    {
        auto frames = std::make_unique<ApngFrames>(mInput, size, mHeader.colour);
        const Source& source = frames->source;
        if (!frames->Take(frames->reader,
                          ApngReader::Open([&source](std::uint64_t offset,
                                                     std::size_t bytes) { return source.ReadAt(offset, bytes); },
                                           std::uint64_t(source.Size()))))
            return nullptr;
        frames->CheckUnchanged(frames->reader->FrameSize(), mHeader.size);
        return frames;
    }

    static Opened Open(Source& source, const Input& input)
    {
        codec::Result<PngHeader> header = source.StreamHeader(ReadPngHeader);
        if (!header)
            return header.error();
        if (codec::Result<void> fits = Fits(header->size); !fits)
            return fits.error();
        return Made<PngPicture>(input, std::move(*header));
    }

private:
    // At size, or whole.
    codec::Result<QImage> Decode(QSize size) const
    {
        codec::Result<Source> source = Source::Open(mInput);
        if (!source)
            return source.error();
        const codec::Result<FileStream> file = source->Stream();
        if (!file)
            return file.error();
        // The quick path reduces straight to size; whatever it does not
        // take (or finds damaged) libpng decodes from the start.
        codec::Result<QImage> quick = DecodePngFast(file->get(), size, kMaxPixelBytes);
        if (!quick && quick.error().kind == Kind::Stopped)
            return quick.error();
        if (quick && (quick->size() == size || quick->size() == mHeader.size))
            return quick;
        if (!quick)
            qCDebug(lcDecode).noquote() << "libpng decodes" << mInput.name << "-" << quick.error().Describe().c_str();
        quick = QImage(); // the quick path's picture is not needed while libpng decodes
        std::rewind(file->get());
        codec::Result<QImage> whole = DecodePng(file->get(), kMaxPixelBytes);
        if (whole && whole->size() != mHeader.size)
            return codec::Fail(Kind::Damaged, "file changed since it was opened");
        return whole;
    }

    Input mInput;
    PngHeader mHeader;
};

// ---------------------------------------------------------------- HEIF, AVIF, JPEG XL

// The frames of a JPEG XL animation: the file stays open while they play.
struct JxlFrames : AnimationFrames {
    static std::unique_ptr<PictureFrames> Play(const Input& input, QSize size, const CodecHeader& header)
    {
        auto frames = std::make_unique<JxlFrames>(input, size, header.colour);
        frames->picture = OrRaise(input.name, codec::OpenJxl(frames->source.Codec(), LoaderDecodeOptions(kMaxPixelBytes)));
        frames->CheckUnchanged(QSize(frames->picture->Header().width, frames->picture->Header().height), header.size);
        return frames;
    }

    using AnimationFrames::AnimationFrames;
    int Plays() const override { return picture->Header().plays; }
    Frame Next() override
    {
        codec::Picture::Frame frame = OrRaise(name, picture->NextFrame(4));
        return Shown(OrRaise(name, ImageOf(std::move(frame.pixels), picture->Header())), frame.delayMs, frame.index);
    }

    std::optional<codec::Picture> picture;
};

// The frames of an AVIF sequence. libavif 0.11 does not tell how often it plays.
struct AvifPictureFrames : AnimationFrames {
    static std::unique_ptr<PictureFrames> Play(const Input& input, QSize size, const CodecHeader& header)
    {
        auto frames = std::make_unique<AvifPictureFrames>(input, size, header.colour);
        // A sequence of another size than the still picture (which may be
        // stored turned) plays nothing: the still stays.
        if (!frames->Take(frames->reader, codec::AvifFrames::Open(frames->source.Codec(), kMaxPixelBytes)) ||
            QSize(frames->reader->Width(), frames->reader->Height()) != header.size)
            return nullptr;
        return frames;
    }

    using AnimationFrames::AnimationFrames;
    int Plays() const override { return 0; }
    Frame Next() override
    {
        return ShownCanvas(OrRaise(name, reader->Next()), *reader);
    }

    std::unique_ptr<codec::AvifFrames> reader;
};

// Like PNG: opening reads the header, every render decodes the file anew
// (stored orientation applied by the codec library).
template <codec::Result<codec::Picture> (*OpenCodec)(const codec::Source&, codec::DecodeOptions), class Frames>
class LibraryPicture : public PictureFile {
public:
    LibraryPicture(const Input& input, CodecHeader header) : mInput(input), mHeader(std::move(header)) {}

    QSize NaturalSize() const override { return mHeader.size; }

    QImage Render(QSize size) const override
    {
        CheckRenderSize(size);
        QImage shown = SmoothTo(OrRaise(mInput.name, Decode()), size);
        ConvertToSrgb(shown, mHeader.colour);
        return shown;
    }

    std::unique_ptr<PictureFrames> Frames(QSize size) const override
    {
        return mHeader.animated ? Frames::Play(mInput, size, mHeader) : nullptr;
    }

    static Opened Open(Source& source, const Input& input)
    {
        codec::Result<CodecHeader> header = HeaderOf(OpenCodec(source.Codec(), LoaderDecodeOptions()));
        if (!header)
            return header.error();
        if (codec::Result<void> fits = Fits(header->size); !fits)
            return fits.error();
        return Made<LibraryPicture>(input, std::move(*header));
    }

private:
    codec::Result<QImage> Decode() const
    {
        const codec::Result<Source> source = Source::Open(mInput);
        if (!source)
            return source.error();
        codec::Result<QImage> decoded = ImageOf(OpenCodec(source->Codec(), LoaderDecodeOptions(kMaxPixelBytes)));
        if (decoded && decoded->size() != mHeader.size)
            return codec::Fail(Kind::Damaged, "file changed since it was opened");
        return decoded;
    }

    Input mInput;
    CodecHeader mHeader;
};
using HeifPicture = LibraryPicture<codec::OpenHeif, AvifPictureFrames>;
using JxlPicture = LibraryPicture<codec::OpenJxl, JxlFrames>;

// ---------------------------------------------------------------- Qt's decoders

// Pictures that Qt decodes whole from memory when they open (icons,
// cursors, OS/2 bitmaps); Qt's allocation limit bounds what that may take.
class DecodedPicture : public PictureFile {
public:
    explicit DecodedPicture(QImage image) : mImage(std::move(image)) {}
    QSize NaturalSize() const override { return mImage.size(); }
    QImage Render(QSize size) const override
    {
        CheckRenderSize(size);
        return SmoothInSrgb(mImage, size);
    }

private:
    QImage mImage;
};

codec::Result<QImage> ReadWithQt(const QByteArray& data, const char* format, int index = 0)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    codec::AllowQtImages(kMaxPixelBytes); // ours is the cap, not Qt's
    QImageReader reader(&buffer, format);
    reader.setDecideFormatFromContent(false);
    if (index > 0 && !reader.jumpToImage(index))
        return codec::Fail(Kind::Damaged, "icon image missing");
    const QSize size = reader.size();
    if (size.isValid() && OverPixelCap(size))
        return codec::Fail(Kind::TooLarge, "picture too large");
    QImage image = reader.read();
    if (image.isNull())
        return codec::ReaderError(reader);
    return image;
}


// The frames of an animated GIF: the file stays open while they play.
struct GifFrames : AnimationFrames {
    GifFrames(const Input& input, QSize shown, QSize natural) : AnimationFrames(input, shown, {}), natural(natural) {}
    int Plays() const override { return reader->Plays(); }
    Frame Next() override
    {
        codec::Result<codec::QtFrameReader::Frame> frame = reader->Next();
        if (frame && frame->image.size() != natural)
            frame = codec::Fail(Kind::Damaged, "frame size differs from the picture's");
        const codec::QtFrameReader::Frame read = OrRaise(name, std::move(frame));
        colour.space = read.image.colorSpace();
        return Shown(read.image, read.delayMs, read.index);
    }

    QSize natural;
    std::unique_ptr<codec::QtFrameReader> reader;
};

// The frames of an animated WebP, by libwebp's animation decoder (three
// times as fast as Qt's reader, which copies every frame more than once).
struct WebpPictureFrames : AnimationFrames {
    static std::unique_ptr<PictureFrames> Open(const Input& input, QSize natural, QSize size)
    {
        auto frames = std::make_unique<WebpPictureFrames>(input, size, ColourProfile{});
        if (!frames->Take(frames->reader, codec::WebpFrames::Open(frames->source.Codec(), kMaxPixelBytes)))
            return nullptr;
        frames->CheckUnchanged(QSize(frames->reader->Width(), frames->reader->Height()), natural);
        const std::vector<unsigned char>& icc = frames->reader->Icc();
        frames->colour.icc = QByteArray(reinterpret_cast<const char*>(icc.data()), qsizetype(icc.size()));
        return frames;
    }

    using AnimationFrames::AnimationFrames;
    int Plays() const override { return reader->Plays(); }
    Frame Next() override
    {
        if (reader->WholeFrames())
            return NextWhole();
        return ShownCanvas(OrRaise(name, reader->Next()), *reader);
    }

    // Frames that cover the canvas decode on their own, straight at the
    // size shown, the next one on a second thread while this one decodes:
    // a frame as large as the screen takes libwebp most of a frame's time.
    // They go into images the screen has let go of: a new image for every
    // frame would cost a page fault for every 4 KiB of it.
    struct Decoding {
        QImage image;
        std::future<codec::Result<codec::WebpFrames::Frame>> frame;
    };

    Frame NextWhole()
    {
        if (!ahead.frame.valid())
            ahead = Decode(next);
        Decoding current = std::move(ahead);
        next = (next + 1) % reader->Count();
        ahead = Decode(next);
        const codec::WebpFrames::Frame frame = OrRaise(name, current.frame.get());
        ConvertToSrgb(current.image, colour);
        Keep(current.image);
        return {std::move(current.image), ShownDelay(frame.delayMs), frame.index};
    }

    Decoding Decode(int number)
    {
        Decoding decoding{FreeImage(), {}};
        unsigned char* pixels = decoding.image.bits();
        const int stride = int(decoding.image.bytesPerLine());
        const auto decode = [reader = reader.get(), number, pixels, stride, size = size] {
            return reader->DecodeWhole(number, pixels, stride, size.width(), size.height());
        };
        try {
            decoding.frame = std::async(std::launch::async, decode);
        } catch (const std::system_error&) { // no thread to be had: decoded when it is wanted
            decoding.frame = std::async(std::launch::deferred, decode);
        }
        return decoding;
    }

    // An image kept for frames to come that no one holds any longer, or a new one.
    QImage FreeImage()
    {
        for (auto image = images.begin(); image != images.end(); ++image)
            if (image->isDetached()) {
                // The last holder let go on another thread: see its reads before writing.
                std::atomic_thread_fence(std::memory_order_acquire);
                QImage free = std::move(*image);
                images.erase(image);
                return free;
            }
        QImage fresh(size, reader->Alpha() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        if (fresh.isNull())
            Raise(name, codec::Fail(Kind::OutOfMemory, "no memory for a frame"));
        return fresh;
    }

    void Keep(const QImage& image)
    {
        constexpr std::size_t kKept = 6; // the player holds no more at once
        if (images.size() < kKept)
            images.push_back(image);
    }

    std::unique_ptr<codec::WebpFrames> reader;
    std::vector<QImage> images; // frames decoded straight, kept for the next ones
    int next = 0;
    Decoding ahead; // last, so that it ends first: it writes into an image and reads the file
};

// GIF, WebP, TIFF and TGA files, read by the codec library's Qt reader:
// opening reads only the header; every render decodes the file anew,
// straight from the file or the bytes in memory (a copy of the whole file in memory, which only TGA
// needs, would only add its size to the peak). Holding no pixels lets
// pictures prepared for later steps stay small. TIFF pictures are shown upright.
class FileDecodedPicture : public PictureFile {
public:
    FileDecodedPicture(const Input& input, codec::QtImageFormat format, QSize size)
        : mInput(input), mFormat(format), mSize(size)
    {
    }
    QSize NaturalSize() const override { return mSize; }
    QImage Render(QSize size) const override
    {
        CheckRenderSize(size);
        return SmoothInSrgb(OrRaise(mInput.name, Decode()), size);
    }

    std::unique_ptr<PictureFrames> Frames(QSize size) const override
    {
        if (mFormat == codec::QtImageFormat::WebP)
            return WebpPictureFrames::Open(mInput, mSize, size);
        if (mFormat != codec::QtImageFormat::Gif)
            return nullptr;
        auto frames = std::make_unique<GifFrames>(mInput, size, mSize);
        if (!frames->Take(frames->reader, codec::QtFrameReader::Open(frames->source.Qt(), mFormat, kMaxPixelBytes)))
            return nullptr;
        return frames;
    }

    static Opened Open(const Source& source, const Input& input, codec::QtImageFormat format)
    {
        const codec::Result<QSize> size = codec::ReadQtImageSize(source.Qt(), format, kMaxPixelBytes);
        if (!size)
            return size.error();
        if (codec::Result<void> fits = Fits(*size); !fits)
            return fits.error();
        return Made<FileDecodedPicture>(input, format, *size);
    }

private:
    codec::Result<QImage> Decode() const
    {
        const codec::Result<Source> source = Source::Open(mInput);
        if (!source)
            return source.error();
        codec::Result<QImage> image = codec::DecodeQtImage(source->Qt(), mFormat, kMaxPixelBytes);
        if (image && image->size() != mSize)
            return codec::Fail(Kind::Damaged, "file changed since it was opened");
        return image;
    }

    Input mInput;
    codec::QtImageFormat mFormat;
    QSize mSize;
};

// The entry of an icon or cursor file shown: the largest, then the deepest.
codec::Result<int> BestIconEntry(const QByteArray& data, bool cursor)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    const std::uint32_t count = Le16(p + 4);
    if (6 + std::uint64_t(count) * 16 > std::uint64_t(data.size()))
        return codec::Fail(Kind::Damaged, "icon directory past the end of the file");
    int best = 0;
    std::uint64_t bestArea = 0, bestDepth = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* e = p + 6 + i * 16;
        const std::uint64_t w = e[0] ? e[0] : 256, h = e[1] ? e[1] : 256;
        // In a cursor the planes and depth fields hold the hot spot.
        const std::uint64_t depth = cursor ? 0 : Le16(e + 6);
        if (w * h > bestArea || (w * h == bestArea && depth > bestDepth)) {
            best = int(i);
            bestArea = w * h;
            bestDepth = depth;
        }
    }
    return best;
}

Opened OpenIcon(QByteArray data, bool cursor)
{
    const codec::Result<int> index = BestIconEntry(data, cursor);
    if (!index)
        return index.error();
    if (cursor) {
        // Qt reads icons only; a cursor is an icon whose entries carry a hot
        // spot where an icon has planes and depth.
        auto* p = reinterpret_cast<unsigned char*>(data.data());
        p[2] = 1;
        for (std::uint32_t i = 0, n = Le16(p + 4); i < n; ++i) {
            unsigned char* e = p + 6 + i * 16;
            e[4] = 1, e[5] = 0; // planes
            e[6] = 0, e[7] = 0; // depth: taken from the entry's bitmap header
        }
    }
    codec::Result<QImage> image = ReadWithQt(data, "ico", *index);
    if (!image)
        return image.error();
    return Made<DecodedPicture>(std::move(*image));
}

// ---------------------------------------------------------------- Windows bitmaps

class BitmapPicture : public PictureFile {
public:
    BitmapPicture(QString path, QByteArray data, std::vector<unsigned char> info, qsizetype bitsOffset)
        : mPath(std::move(path)), mData(std::move(data)), mInfo(std::move(info)), mBitsOffset(bitsOffset)
    {
    }

    QSize NaturalSize() const override { return QSize(Header().biWidth, Rows()); }

    QImage Render(QSize size) const override
    {
        CheckRenderSize(size);
        if (!TooLargeToDecode())
            return SmoothTo(Decode(), size);
        return SmoothTo(OrRaise(mPath, ReduceInBands(size.boundedTo(NaturalSize()))), size);
    }

    static Opened Open(const QString& path, QByteArray data);

private:
    const BITMAPINFOHEADER& Header() const { return *reinterpret_cast<const BITMAPINFOHEADER*>(mInfo.data()); }
    int Rows() const { return Header().biHeight < 0 ? -Header().biHeight : Header().biHeight; }
    const unsigned char* Bits() const
    {
        return reinterpret_cast<const unsigned char*>(mData.constData()) + mBitsOffset;
    }
    std::size_t BitsSize() const { return std::size_t(mData.size() - mBitsOffset); }
    bool TooLargeToDecode() const
    {
        return OverPixelCap(NaturalSize());
    }
    bool Compressed() const
    {
        return Header().biCompression == BI_RLE8 || Header().biCompression == BI_RLE4;
    }
    std::uint64_t Stride() const { return DibStride(Header().biWidth, Header().biBitCount); }

    QImage Decode() const
    {
        return OrRaise(mPath, DibToImage(reinterpret_cast<const BITMAPINFO*>(mInfo.data()), Bits()));
    }

    // Area-averaging reduction to target (not larger than the picture) of an
    // uncompressed bitmap too large to decode whole: bands of rows are decoded
    // one after another, top to bottom, and fed to the reducer.
    codec::Result<QImage> ReduceInBands(QSize target) const
    {
        const std::uint64_t W = std::uint64_t(Header().biWidth), H = std::uint64_t(Rows());
        const bool topDown = Header().biHeight < 0;
        const std::uint64_t stride = Stride();
        const int bandRows = int(std::max<std::uint64_t>(1, kBandBytes / (W * 4)));
        AreaReducer reducer(NaturalSize(), target, AreaReducer::Layout::Bgra32, QImage::Format_RGB32);
        if (!reducer.Ok())
            return codec::Fail(Kind::OutOfMemory, "no memory for the reduced picture");

        std::vector<unsigned char> band(mInfo);
        auto* bandHeader = reinterpret_cast<BITMAPINFOHEADER*>(band.data());
        for (std::uint64_t y0 = 0; y0 < H; y0 += std::uint64_t(bandRows)) {
            if (DecodeStopRequested())
                return codec::Fail(Kind::Stopped, "decoding stopped");
            const int n = int(std::min<std::uint64_t>(bandRows, H - y0));
            // Picture rows y0 .. y0+n-1, counted from the top.
            const std::uint64_t firstStored = topDown ? y0 : H - y0 - std::uint64_t(n);
            bandHeader->biHeight = topDown ? -n : n;
            bandHeader->biSizeImage = 0;
            const codec::Result<QImage> part =
                DibToImage(reinterpret_cast<const BITMAPINFO*>(band.data()), Bits() + firstStored * stride);
            if (!part)
                return part.error();
            reducer.AddRows(*part);
        }
        if (std::uint64_t(reducer.RowsAdded()) != H)
            return codec::Fail(Kind::Damaged, "bitmap rows missing");
        return reducer.Take();
    }

    QString mPath;
    QByteArray mData;
    std::vector<unsigned char> mInfo; // header (patched where needed), masks, colour table
    qsizetype mBitsOffset;
};

Opened BitmapPicture::Open(const QString& path, QByteArray data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype size = data.size();
    const std::uint32_t headerSize = Le32(p + 14);
    if (headerSize == 12) { // OS/2 core header, which Qt reads
        codec::Result<QImage> image = ReadWithQt(data, "bmp");
        if (!image)
            return image.error();
        return Made<DecodedPicture>(std::move(*image));
    }
    if (headerSize < sizeof(BITMAPINFOHEADER) || 14 + std::uint64_t(headerSize) > std::uint64_t(size))
        return codec::Fail(Kind::Damaged, "bitmap header damaged");
    BITMAPINFOHEADER h;
    std::memcpy(&h, p + 14, sizeof h);

    // The pixels start at bfOffBits; when that does not lie behind the header
    // and its masks and within the file, right after the colour table.
    const std::uint64_t masks = (h.biCompression == BI_BITFIELDS && headerSize == 40) ? 12 : 0;
    std::uint64_t bitsOffset = Le32(p + 10);
    if (bitsOffset < 14 + std::uint64_t(headerSize) + masks || bitsOffset > std::uint64_t(size))
        bitsOffset = 14 + DibInfoSize(h);
    if (bitsOffset > std::uint64_t(size))
        return codec::Fail(Kind::Damaged, "bitmap data missing");
    std::vector<unsigned char> info(p + 14, p + bitsOffset);
    auto* header = reinterpret_cast<BITMAPINFOHEADER*>(info.data());
    // Some writers leave the image size of compressed data at 0: it then
    // runs to the end of the file.
    if ((h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4) && h.biSizeImage == 0)
        header->biSizeImage = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(size) - bitsOffset, 0xFFFFFFFFu));

    const codec::Result<void> fits =
        CheckDibBlocks(info.data(), info.size(), p + bitsOffset, std::size_t(std::uint64_t(size) - bitsOffset));
    if (!fits)
        return fits.error();
    auto picture = std::make_unique<BitmapPicture>(path, std::move(data), std::move(info), qsizetype(bitsOffset));
    if (picture->TooLargeToDecode() &&
        (picture->Compressed() || std::uint64_t(picture->Header().biWidth) * 4 > kBandBytes ||
         picture->Rows() > AreaReducer::kMaxRows))
        return codec::Fail(Kind::TooLarge, "bitmap too large");
    return std::unique_ptr<PictureFile>(std::move(picture));
}

} // namespace

namespace {

template <codec::QtImageFormat format> Opened OpenWithQt(Source& source, const Input& input)
{
    return FileDecodedPicture::Open(source, input, format);
}

// For the formats read whole from memory.
template <Opened (*open)(QByteArray, bool), bool variant> Opened OpenWhole(Source& source, const Input&)
{
    return source.Whole([](QByteArray data) { return open(std::move(data), variant); });
}

// The formats the built-in loader reads, one row each, in the order they
// are tried: how a picture is recognised from its first bytes and how it
// opens, from a file or from memory alike (Source). A new format is its
// reader and one row here.
struct PictureFormat {
    const char* name;
    const char* extensions; // the names files of the format usually have, without dots
    bool (*recognise)(const unsigned char* head, std::size_t size);
    Opened (*open)(Source& source, const Input& input);
};

const PictureFormat kFormats[] = {
    {"JPEG", "jpg jpeg jpe jfif", IsJpeg, JpegPicture::Open},
    {"PNG", "png apng", IsPng, PngPicture::Open},
    {"GIF", "gif", IsGif, OpenWithQt<codec::QtImageFormat::Gif>},
    {"BMP", "bmp dib rle", IsBitmap, [](Source& source, const Input& input) {
         return source.Whole([&](QByteArray data) { return BitmapPicture::Open(input.name, std::move(data)); });
     }},
    {"HEIF", "heic heif avif hif", codec::IsHeif, HeifPicture::Open},
    {"JPEG XL", "jxl", codec::IsJxl, JxlPicture::Open},
    {"ICO", "ico", IsIcon, OpenWhole<OpenIcon, false>},
    {"CUR", "cur", IsCursor, OpenWhole<OpenIcon, true>},
    {"WMF", "wmf", IsWmf, OpenWhole<OpenMetafile, false>},
    {"EMF", "emf", IsEmf, OpenWhole<OpenMetafile, true>},
    {"WebP", "webp", codec::IsWebP, OpenWithQt<codec::QtImageFormat::WebP>},
    {"TIFF", "tif tiff", codec::IsTiff, OpenWithQt<codec::QtImageFormat::Tiff>},
    {"TGA", "tga", codec::IsPlausibleTga, OpenWithQt<codec::QtImageFormat::Tga>},
};

} // namespace

QStringList PictureFile::Extensions()
{
    QStringList extensions;
    for (const PictureFormat& format : kFormats)
        extensions += QString::fromLatin1(format.extensions).split(u' ');
    return extensions;
}

namespace {

// The format a file's name suggests, for telling why a file was not read.
const PictureFormat* NamedLike(const QString& path)
{
    const QString name = path.section(u'/', -1);
    if (!name.contains(u'.'))
        return nullptr;
    const QString extension = name.section(u'.', -1).toLower();
    for (const PictureFormat& format : kFormats)
        if (QString::fromLatin1(format.extensions).split(u' ').contains(extension))
            return &format;
    return nullptr;
}

const PictureFormat* Sniff(const QByteArray& head)
{
    const auto* p = reinterpret_cast<const unsigned char*>(head.constData());
    for (const PictureFormat& format : kFormats)
        if (format.recognise(p, std::size_t(head.size())))
            return &format;
    return nullptr;
}

Opened OpenPicture(const Input& input)
{
    codec::Result<Source> source = Source::Open(input);
    if (!source)
        return source.error();
    if (source->Size() == 0)
        return codec::Fail(Kind::NotThisFormat, input.inMemory ? "no bytes" : "the file is empty");
    const codec::Result<QByteArray> head = source->Head();
    if (!head)
        return head.error();
    const PictureFormat* format = Sniff(*head);
    if (!format) {
        const PictureFormat* named = NamedLike(input.name);
        return codec::Fail(Kind::NotThisFormat, std::string("not a picture format the built-in loader reads") +
                                                    (named ? std::string(" (named like ") + named->name + ")" : ""));
    }
    return format->open(*source, input);
}

} // namespace

std::unique_ptr<PictureFile> PictureFile::Open(const QString& path)
{
    return OrRaise(path, OpenPicture(Input{path, {}, false}));
}

std::unique_ptr<PictureFile> PictureFile::Open(const QString& name, const QByteArray& bytes)
{
    return OrRaise(name, OpenPicture(Input{name, bytes, true}));
}
