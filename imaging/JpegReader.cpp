#include "imaging/JpegReader.h"

#include "codecs/Decoding.h"
#include "imaging/AreaReducer.h"
#include "imaging/DecodeService.h"

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <algorithm>
#include <memory>
#include <vector>

#include <QTransform>

#include <jpeglib.h>
#include <jerror.h>

// libjpeg reports fatal errors through error_exit, which must not return; we
// leave by longjmp. Everything that outlives the jump lives in a Session
// reached through a pointer, and the function holding setjmp keeps only
// trivial locals, so no destructor is ever skipped.

namespace {

// libjpeg's own working memory (coefficient buffers of progressive files)
// stays below this; a larger need is a decoding error, not a swap storm.
constexpr long kDecoderMemory = 512L << 20;

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    int code;
    bool truncated;
};

void OnError(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    err->code = cinfo->err->msg_code;
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// What a libjpeg error means for the caller.
codec::ErrorKind KindOf(int code)
{
    switch (code) {
    case JERR_NO_SOI:
    case JERR_INPUT_EMPTY:
        return codec::ErrorKind::NotThisFormat;
    case JERR_ARITH_NOTIMPL:
    case JERR_BAD_PRECISION:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_NOTIMPL:
    case JERR_NOT_COMPILED:
    case JERR_SOF_UNSUPPORTED:
        return codec::ErrorKind::Unsupported;
    // Past the working-memory cap (kDecoderMemory) libjpeg asks for a
    // backing store, which this build of it has none of.
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW:
    case JERR_NO_BACKING_STORE:
        return codec::ErrorKind::TooLarge;
    case JERR_OUT_OF_MEMORY:
        return codec::ErrorKind::OutOfMemory;
    case JERR_FILE_READ:
        return codec::ErrorKind::ReadFailed;
    default:
        return codec::ErrorKind::Damaged;
    }
}

// Warnings stay quiet; data that ends early in the header counts as damage.
void OnMessage(j_common_ptr cinfo, int level)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (level < 0) {
        ++cinfo->err->num_warnings;
        if (cinfo->err->msg_code == JWRN_JPEG_EOF)
            err->truncated = true;
    }
}

struct Session {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    std::FILE* file = nullptr;
    bool decode = false;
    QSize atLeast;
    std::size_t maxBytes = 0;
    JpegHeader header;
    QImage image;
    // Set when the decoded rows are reduced to atLeast as they come.
    std::unique_ptr<AreaReducer> reducer;
    std::vector<unsigned char> row;
    codec::Error error;
    // The file's reader, and how much of the file the header search has read.
    boolean (*fill)(j_decompress_ptr) = nullptr;
    bool inHeader = false;
    std::uint64_t headerBytes = 0;
};

// A frame header comes within the first megabytes of any real JPEG; a file
// that is a signature and then gigabytes of anything ends the search there
// instead of being read to its end.
constexpr std::uint64_t kMaxHeaderSearch = std::uint64_t(16) << 20;

boolean FillWithinLimit(j_decompress_ptr cinfo)
{
    auto* s = static_cast<Session*>(cinfo->client_data);
    if (s->inHeader && s->headerBytes > kMaxHeaderSearch) {
        // What libjpeg itself does at the end of the file: a fake EOI marker.
        static const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};
        cinfo->src->next_input_byte = kEndOfImage;
        cinfo->src->bytes_in_buffer = 2;
        return TRUE;
    }
    const boolean filled = s->fill(cinfo);
    // libjpeg's reader takes a read error for the end of the data.
    if (std::ferror(s->file))
        ERREXIT(cinfo, JERR_FILE_READ);
    s->headerBytes += cinfo->src->bytes_in_buffer;
    return filled;
}

// Called between libjpeg calls; never jumps.
bool Allocate(Session* s)
{
    const std::uint64_t w = s->cinfo.output_width, h = s->cinfo.output_height;
    if (w == 0 || h == 0 || w > 0x7FFFFFFF / 4 || h > 0x7FFFFFFF) {
        s->error = codec::Fail(codec::ErrorKind::TooLarge, "output size out of range");
        return false;
    }
    if (w * h * 4 > s->maxBytes) {
        s->error = codec::Fail(codec::ErrorKind::TooLarge, "decoded picture too large");
        return false;
    }
    s->image = QImage(int(w), int(h), QImage::Format_RGB32);
    if (s->image.isNull()) {
        s->error = codec::Fail(codec::ErrorKind::OutOfMemory, "out of memory");
        return false;
    }
    if (s->cinfo.out_color_space == JCS_CMYK)
        s->row.resize(std::size_t(w) * 4);
    return true;
}

// The rows reduced to the size asked for while they come: no buffer of the
// decoded size. Called between libjpeg calls; never jumps.
bool AllocateReducer(Session* s)
{
    const std::uint64_t w = s->cinfo.output_width;
    if (codec::PixelBytes(s->atLeast.width(), s->atLeast.height(), 4) > s->maxBytes) {
        s->error = codec::Fail(codec::ErrorKind::TooLarge, "decoded picture too large");
        return false;
    }
    s->reducer = std::make_unique<AreaReducer>(QSize(int(w), int(s->cinfo.output_height)), s->atLeast,
                                               AreaReducer::Layout::Rgb24, QImage::Format_RGB32);
    if (!s->reducer->Ok()) {
        s->error = codec::Fail(codec::ErrorKind::OutOfMemory, "out of memory");
        return false;
    }
    s->row.resize(std::size_t(w) * 3);
    return true;
}

void ConvertCmykRow(Session* s, int y)
{
    auto* out = reinterpret_cast<QRgb*>(s->image.scanLine(y));
    const unsigned char* in = s->row.data();
    // Adobe writes CMYK inverted, which is what nearly every CMYK JPEG is.
    for (int x = 0, n = s->image.width(); x < n; ++x, in += 4) {
        const int k = in[3];
        out[x] = qRgb(in[0] * k / 255, in[1] * k / 255, in[2] * k / 255);
    }
}

void ReadOrientation(Session* s)
{
    for (jpeg_saved_marker_ptr m = s->cinfo.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
            s->header.orientation = ExifOrientation(m->data, m->data_length);
            s->header.dateTaken = ExifDateTaken(m->data, m->data_length);
            return;
        }
    }
}

void ReadIccProfile(Session* s)
{
    JOCTET* data = nullptr;
    unsigned int size = 0;
    // Chunks that are missing, repeated or out of order give no profile.
    if (!s->decode && jpeg_read_icc_profile(&s->cinfo, &data, &size) && data) {
        s->header.icc = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
        std::free(data);
    }
}

// Rows decoded between two looks at whether the decode should stop.
constexpr int kStopCheckRows = 16;

// The only function with setjmp; its locals are trivial.
bool Run(Session* s)
{
    s->cinfo.err = jpeg_std_error(&s->err.pub);
    s->err.pub.error_exit = OnError;
    s->err.pub.emit_message = OnMessage;
    s->err.truncated = false;
    s->err.message[0] = 0;
    s->err.code = 0;
    if (setjmp(s->err.jump)) {
        // A read error at the start of the file reaches libjpeg as an empty file.
        s->error = std::ferror(s->file) ? codec::Fail(codec::ErrorKind::ReadFailed, "the file cannot be read")
                                        : codec::Fail(KindOf(s->err.code), s->err.message);
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }
    jpeg_create_decompress(&s->cinfo);
    s->cinfo.mem->max_memory_to_use = kDecoderMemory;
    jpeg_stdio_src(&s->cinfo, s->file);
    s->cinfo.client_data = s;
    s->fill = s->cinfo.src->fill_input_buffer;
    s->cinfo.src->fill_input_buffer = FillWithinLimit;
    jpeg_save_markers(&s->cinfo, JPEG_APP0 + 1, 0xFFFF);
    if (!s->decode)
        jpeg_save_markers(&s->cinfo, JPEG_APP0 + 2, 0xFFFF); // ICC profile chunks
    s->inHeader = true;
    const int headerResult = jpeg_read_header(&s->cinfo, TRUE);
    s->inHeader = false;
    if (headerResult != JPEG_HEADER_OK) {
        s->error = codec::Fail(codec::ErrorKind::Damaged, "no picture in the JPEG data");
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }
    s->header.stored = QSize(int(s->cinfo.image_width), int(s->cinfo.image_height));
    ReadOrientation(s);
    ReadIccProfile(s);
    if (s->err.truncated) {
        s->error = codec::Fail(codec::ErrorKind::Damaged, "JPEG data ends early");
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }
    if (!s->decode) {
        jpeg_destroy_decompress(&s->cinfo);
        return true;
    }

    const bool cmyk = s->cinfo.jpeg_color_space == JCS_CMYK || s->cinfo.jpeg_color_space == JCS_YCCK;
    s->cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX; // BGRX is Format_RGB32 in memory
    s->cinfo.dct_method = JDCT_ISLOW;
    s->cinfo.do_fancy_upsampling = TRUE;
    // The smallest n/8 scale that still covers the target; 8/8 when even
    // the full size is smaller than it.
    const std::uint64_t W = s->cinfo.image_width, H = s->cinfo.image_height;
    unsigned n = 1;
    while (n < 8 && ((W * n + 7) / 8 < std::uint64_t(s->atLeast.width()) ||
                     (H * n + 7) / 8 < std::uint64_t(s->atLeast.height())))
        ++n;
    s->cinfo.scale_num = n;
    s->cinfo.scale_denom = 8;
    jpeg_calc_output_dimensions(&s->cinfo);
    // Larger than asked for: reduced while decoding, in R G B.
    const bool reduce = !cmyk && !s->atLeast.isEmpty() && s->cinfo.output_width >= unsigned(s->atLeast.width()) &&
                        s->cinfo.output_height >= unsigned(s->atLeast.height()) &&
                        QSize(int(s->cinfo.output_width), int(s->cinfo.output_height)) != s->atLeast &&
                        s->cinfo.output_width <= 0x7FFFFFFF / 4 && s->cinfo.output_height <= 0x7FFFFFFF;
    if (reduce) {
        s->cinfo.out_color_space = JCS_RGB;
        jpeg_calc_output_dimensions(&s->cinfo);
    }
    if (!(reduce ? AllocateReducer(s) : Allocate(s))) {
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }
    // Data that ends early shows what was decoded: libjpeg goes on as if the
    // picture ended there, which fills the rest with grey, as other viewers
    // show it. Rows it could not give at all stay grey too.
    if (!reduce)
        s->image.fill(qRgb(128, 128, 128));
    jpeg_start_decompress(&s->cinfo);
    while (s->cinfo.output_scanline < s->cinfo.output_height) {
        const int y = int(s->cinfo.output_scanline);
        if (y % kStopCheckRows == 0 && DecodeStopRequested()) {
            s->error = codec::Fail(codec::ErrorKind::Stopped, "decoding stopped");
            jpeg_destroy_decompress(&s->cinfo);
            return false;
        }
        JSAMPROW rows[1] = {cmyk || reduce ? s->row.data() : s->image.scanLine(y)};
        if (jpeg_read_scanlines(&s->cinfo, rows, 1) != 1)
            break;
        if (cmyk)
            ConvertCmykRow(s, y);
        else if (reduce)
            s->reducer->AddRow(s->row.data());
    }
    if (s->cinfo.output_scanline == s->cinfo.output_height)
        jpeg_finish_decompress(&s->cinfo);
    jpeg_destroy_decompress(&s->cinfo);
    if (reduce) {
        std::fill(s->row.begin(), s->row.end(), 128);
        while (s->reducer->RowsAdded() < int(s->cinfo.output_height))
            s->reducer->AddRow(s->row.data());
        s->image = s->reducer->Take();
    }
    return true;
}

std::uint32_t Read16(const unsigned char* p, bool big) { return big ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]); }
std::uint32_t Read32(const unsigned char* p, bool big)
{
    return big ? (std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3])
               : (std::uint32_t(p[3]) << 24 | p[2] << 16 | p[1] << 8 | p[0]);
}

} // namespace

codec::Result<JpegHeader> ReadJpegHeader(std::FILE* file)
{
    auto s = std::make_unique<Session>();
    s->file = file;
    if (!Run(s.get()))
        return std::move(s->error);
    return std::move(s->header);
}

codec::Result<QImage> DecodeJpegScaled(std::FILE* file, QSize atLeast, std::size_t maxBytes)
{
    auto s = std::make_unique<Session>();
    s->file = file;
    s->decode = true;
    s->atLeast = atLeast;
    s->maxBytes = maxBytes;
    if (!Run(s.get()))
        return std::move(s->error);
    return std::move(s->image);
}

namespace {

// The TIFF block of an APP1 payload ("Exif\0\0", a byte order mark, 42).
struct ExifBlock {
    const unsigned char* tiff;
    std::uint64_t size;
    bool big;
};

std::optional<ExifBlock> ExifTiff(const unsigned char* data, std::size_t size)
{
    if (size < 6 + 8 || std::memcmp(data, "Exif\0\0", 6) != 0)
        return std::nullopt;
    const unsigned char* tiff = data + 6;
    bool big;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        big = false;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else
        return std::nullopt;
    if (Read16(tiff + 2, big) != 42)
        return std::nullopt;
    return ExifBlock{tiff, size - 6, big};
}

} // namespace

int ExifOrientation(const unsigned char* data, std::size_t size)
{
    const std::optional<ExifBlock> block = ExifTiff(data, size);
    if (!block)
        return 1;
    const auto [tiff, n, big] = *block;
    const std::uint64_t ifd = Read32(tiff + 4, big);
    if (ifd + 2 > n)
        return 1;
    const std::uint32_t count = Read16(tiff + ifd, big);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = ifd + 2 + std::uint64_t(i) * 12;
        if (entry + 12 > n)
            return 1;
        if (Read16(tiff + entry, big) != 0x0112)
            continue;
        if (Read16(tiff + entry + 2, big) != 3) // SHORT
            return 1;
        const std::uint32_t value = Read16(tiff + entry + 8, big);
        return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
}

QString ExifDateTaken(const unsigned char* data, std::size_t size)
{
    const std::optional<ExifBlock> block = ExifTiff(data, size);
    if (!block)
        return {};
    const auto [tiff, n, big] = *block;
    // The entry of tag in the directory at ifd: its offset, or 0.
    const auto find = [&](std::uint64_t ifd, std::uint32_t tag) -> std::uint64_t {
        if (ifd + 2 > n)
            return 0;
        const std::uint32_t count = Read16(tiff + ifd, big);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t entry = ifd + 2 + std::uint64_t(i) * 12;
            if (entry + 12 > n)
                return 0;
            if (Read16(tiff + entry, big) == tag)
                return entry;
        }
        return 0;
    };
    const std::uint64_t pointer = find(Read32(tiff + 4, big), 0x8769); // the Exif sub-IFD
    if (!pointer || Read16(tiff + pointer + 2, big) != 4) // LONG
        return {};
    const std::uint64_t entry = find(Read32(tiff + pointer + 8, big), 0x9003); // DateTimeOriginal
    if (!entry || Read16(tiff + entry + 2, big) != 2) // ASCII
        return {};
    const std::uint64_t count = Read32(tiff + entry + 4, big);
    // "YYYY:MM:DD HH:MM:SS" and its NUL: always past the entry's own 4 bytes.
    const std::uint64_t at = Read32(tiff + entry + 8, big);
    if (count < 19 || count > 64 || at + count > n)
        return {};
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(tiff + at),
                                             qsizetype(strnlen(reinterpret_cast<const char*>(tiff + at), count)));
    return text.trimmed();
}

QImage ApplyOrientation(const QImage& image, int orientation)
{
    const QTransform quarter = QTransform().rotate(90); // clockwise on the screen
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: return image.mirrored(true, true);
    case 4: return image.mirrored(false, true);
    case 5: return image.transformed(quarter).mirrored(true, false); // transpose
    case 6: return image.transformed(quarter);
    case 7: return image.transformed(quarter).mirrored(false, true); // transverse
    case 8: return image.transformed(QTransform().rotate(270));
    default: return image;
    }
}
