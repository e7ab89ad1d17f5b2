#include "imaging/PngReader.h"

#include "imaging/DecodeService.h"

#include <csetjmp>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include <png.h>

// libpng reports errors by calling a function that must not return; we leave
// by longjmp. As with JPEG, everything that outlives the jump lives in a
// Session and the function holding setjmp keeps only trivial locals.

namespace {

struct Session {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::FILE* file = nullptr;
    bool decode = false;
    std::size_t maxBytes = 0;
    PngHeader header;
    QImage image;
    bool headerRead = false;
    bool rowsStarted = false;
    bool ended = false;
    std::uint64_t bytesRead = 0;
    // Set before our own calls of png_error; libpng's errors are read from their text.
    std::optional<codec::ErrorKind> kind;
    bool sizePastLimits = false;
    codec::Error error;
    png_byte buffer[64 * 1024];
};

bool PastLimits(const char* text) { return std::strstr(text, "exceeds user limit") || std::strstr(text, "too large"); }

// libpng's errors come as text alone.
codec::ErrorKind KindOf(const Session& s, const char* text)
{
    if (s.kind)
        return *s.kind;
    if (std::strcmp(text, "Not a PNG file") == 0)
        return codec::ErrorKind::NotThisFormat;
    if ((s.sizePastLimits && std::strcmp(text, "Invalid IHDR data") == 0) || PastLimits(text))
        return codec::ErrorKind::TooLarge;
    if (std::strstr(text, "memory"))
        return codec::ErrorKind::OutOfMemory;
    return codec::ErrorKind::Damaged;
}

void OnError(png_structp png, png_const_charp text)
{
    auto* s = static_cast<Session*>(png_get_error_ptr(png));
    const char* message = text ? text : "PNG data damaged";
    s->error = codec::Fail(KindOf(*s, message), message);
    png_longjmp(png, 1);
}

// A header past libpng's size limits is refused as "Invalid IHDR data"; the
// warnings before it ("Image width exceeds user limit in IHDR") say why.
void OnWarning(png_structp png, png_const_charp text)
{
    auto* s = static_cast<Session*>(png_get_error_ptr(png));
    if (text && std::strncmp(text, "Image ", 6) == 0 && PastLimits(text))
        s->sizePastLimits = true;
}

QPointF Chromaticity(double x, double y) { return QPointF(x, y); }

// The colour space the file declares, in the order the PNG rules give:
// an embedded profile, then the sRGB chunk, then chromaticities and gamma.
void ReadColour(Session* s)
{
    ColourProfile& colour = s->header.colour;
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(s->png, s->info, &name, &compression, &profile, &length) && profile && length > 0) {
        colour.icc = QByteArray(reinterpret_cast<const char*>(profile), qsizetype(length));
        return;
    }
    int intent = 0;
    if (png_get_sRGB(s->png, s->info, &intent))
        return;
    double gamma = 0;
    if (!png_get_gAMA(s->png, s->info, &gamma) || gamma <= 0)
        return;
    // The file gives the encoding exponent; a display curve is its inverse.
    const float exponent = float(1.0 / gamma);
    if (exponent < 0.2f || exponent > 5.0f)
        return;
    double wx, wy, rx, ry, gx, gy, bx, by;
    const bool chromaticities = png_get_cHRM(s->png, s->info, &wx, &wy, &rx, &ry, &gx, &gy, &bx, &by);
    // Writers tag sRGB pictures with 1/2.2 and the sRGB primaries (or none);
    // taken literally, that would darken the shadows of every such file.
    const auto near = [](double a, double b) { return std::abs(a - b) < 0.002; };
    const bool srgbPrimaries = !chromaticities ||
                               (near(wx, 0.3127) && near(wy, 0.3290) && near(rx, 0.64) && near(ry, 0.33) &&
                                near(gx, 0.30) && near(gy, 0.60) && near(bx, 0.15) && near(by, 0.06));
    if (std::abs(gamma - 1 / 2.2) < 0.0005 && srgbPrimaries)
        return;
    if (chromaticities) {
        const QColorSpace space(Chromaticity(wx, wy), Chromaticity(rx, ry), Chromaticity(gx, gy),
                                Chromaticity(bx, by), QColorSpace::TransferFunction::Gamma, exponent);
        if (space.isValid()) {
            colour.space = space;
            return;
        }
    }
    colour.space = QColorSpace(QColorSpace::Primaries::SRgb, exponent);
}

bool Allocate(Session* s, bool alpha)
{
    const std::uint64_t w = png_get_image_width(s->png, s->info);
    const std::uint64_t h = png_get_image_height(s->png, s->info);
    if (w * h * 4 > s->maxBytes) {
        s->error = codec::Fail(codec::ErrorKind::TooLarge, "picture too large");
        return false;
    }
    s->image = QImage(int(w), int(h), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (s->image.isNull()) {
        s->error = codec::Fail(codec::ErrorKind::OutOfMemory, "out of memory");
        return false;
    }
    // Rows that never arrive stay grey, as other viewers show them.
    s->image.fill(qRgb(128, 128, 128));
    return true;
}

// Called when the chunks before the picture data have been read.
void OnInfo(png_structp png, png_infop info)
{
    auto* s = static_cast<Session*>(png_get_progressive_ptr(png));
    s->header.size = QSize(int(png_get_image_width(png, info)), int(png_get_image_height(png, info)));
    ReadColour(s);
    if (!s->decode) {
        s->headerRead = true;
        return;
    }
    const int type = png_get_color_type(png, info);
    const bool alpha = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png); // BGRA in memory is Format_(A)RGB32 on little-endian machines
    if (!alpha)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != png_size_t(png_get_image_width(png, info)) * 4) {
        s->kind = codec::ErrorKind::Unsupported;
        png_error(png, "unexpected PNG pixel layout");
    }
    if (!Allocate(s, alpha)) {
        s->kind = s->error.kind;
        png_error(png, s->error.message.c_str());
    }
    s->headerRead = true;
    s->rowsStarted = true;
}

void OnRow(png_structp png, png_bytep row, png_uint_32 y, int)
{
    auto* s = static_cast<Session*>(png_get_progressive_ptr(png));
    // Interlaced passes bring some pixels of a row; the rest stay as they are.
    if (row && int(y) < s->image.height())
        png_progressive_combine_row(png, s->image.scanLine(int(y)), row);
}

void OnEnd(png_structp png, png_infop)
{
    static_cast<Session*>(png_get_progressive_ptr(png))->ended = true;
}

// Feeds the file to libpng as it comes, so that rows decode as soon as their
// data arrives: a file cut anywhere keeps every row before the cut. (Reading
// chunk by chunk would lose a whole chunk of rows.) The only function with
// setjmp; its locals are trivial.
bool Run(Session* s)
{
    s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, OnError, OnWarning);
    if (!s->png) {
        s->error = codec::Fail(codec::ErrorKind::OutOfMemory, "out of memory");
        return false;
    }
    s->info = png_create_info_struct(s->png);
    if (!s->info) {
        png_destroy_read_struct(&s->png, nullptr, nullptr);
        s->error = codec::Fail(codec::ErrorKind::OutOfMemory, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(s->png))) {
        png_destroy_read_struct(&s->png, &s->info, nullptr);
        // Damage among the pixels keeps what was decoded.
        return s->rowsStarted;
    }
    // A damaged checksum: use the data anyway (a flipped bit costs a few
    // pixels, not the picture). Ancillary chunks too: with critical checksums
    // ignored, the progressive reader sums a chunk's name under the rule of
    // the chunk before, so every ancillary chunk right after a critical one
    // (tRNS after PLTE or IHDR, iCCP after IHDR) failed its check and was
    // dropped.
    png_set_crc_action(s->png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(s->png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
    png_set_progressive_read_fn(s->png, s, OnInfo, OnRow, OnEnd);
    while (!s->ended && !(s->headerRead && !s->decode)) {
        if (s->decode && DecodeStopRequested()) {
            png_destroy_read_struct(&s->png, &s->info, nullptr);
            s->error = codec::Fail(codec::ErrorKind::Stopped, "decoding stopped");
            return false;
        }
        const std::size_t got = std::fread(s->buffer, 1, sizeof s->buffer, s->file);
        if (got == 0)
            break;
        s->bytesRead += got;
        png_process_data(s->png, s->info, s->buffer, got);
    }
    png_destroy_read_struct(&s->png, &s->info, nullptr);
    if (s->headerRead)
        return true; // rows that did not arrive stay grey
    if (std::ferror(s->file))
        s->error = codec::Fail(codec::ErrorKind::ReadFailed, "the file cannot be read");
    else if (s->bytesRead == 0)
        s->error = codec::Fail(codec::ErrorKind::NotThisFormat, "no PNG data");
    else
        s->error = codec::Fail(codec::ErrorKind::Damaged, "PNG data ends in the header");
    return false;
}

} // namespace

codec::Result<PngHeader> ReadPngHeader(std::FILE* file)
{
    auto s = std::make_unique<Session>();
    s->file = file;
    if (!Run(s.get()))
        return std::move(s->error);
    return std::move(s->header);
}

codec::Result<QImage> DecodePng(std::FILE* file, std::size_t maxBytes)
{
    auto s = std::make_unique<Session>();
    s->file = file;
    s->decode = true;
    s->maxBytes = maxBytes;
    if (!Run(s.get()))
        return std::move(s->error);
    return std::move(s->image);
}
