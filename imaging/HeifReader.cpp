#include "imaging/HeifReader.h"

#include "imaging/DecodeService.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::uint32_t Be32(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

bool HeifBrand(const unsigned char* b)
{
    static const char* const brands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                         "avif", "avis", "mif1", "msf1"};
    for (const char* brand : brands)
        if (std::memcmp(b, brand, 4) == 0)
            return true;
    return false;
}

// libheif reads the file through this, by position, straight from the file.
// (libheif 1.15 reads every top-level box, the picture data too, even when
// asked only for the header: opening costs one read of the file.)
struct FileReader {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;

    static std::int64_t Position(void* self) { return static_cast<FileReader*>(self)->position; }

    static int Read(void* data, std::size_t size, void* self)
    {
        auto* r = static_cast<FileReader*>(self);
        auto* out = static_cast<char*>(data);
        while (size > 0) {
            const ssize_t n = ::pread(r->fd, out, size, off_t(r->position));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 1;
            out += n;
            size -= std::size_t(n);
            r->position += n;
        }
        return 0;
    }

    static int Seek(std::int64_t position, void* self)
    {
        auto* r = static_cast<FileReader*>(self);
        if (position < 0 || position > r->size)
            return 1;
        r->position = position;
        return 0;
    }

    // The file does not grow while it is read.
    static heif_reader_grow_status Grow(std::int64_t target, void* self)
    {
        return target <= static_cast<FileReader*>(self)->size ? heif_reader_grow_status_size_reached
                                                              : heif_reader_grow_status_size_beyond_eof;
    }
};

const heif_reader kReader{1, FileReader::Position, FileReader::Read, FileReader::Seek, FileReader::Grow};

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ProfileFree {
    void operator()(heif_color_profile_nclx* p) const { heif_nclx_color_profile_free(p); }
};

// An open file's primary image. The reader must outlive the context.
struct Primary {
    FileReader reader;
    std::unique_ptr<heif_context, ContextFree> context;
    std::unique_ptr<heif_image_handle, HandleRelease> handle;

    bool Open(int fd, std::string* why)
    {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            *why = std::strerror(errno);
            return false;
        }
        reader.fd = fd;
        reader.size = st.st_size;
        // Loads libheif's codec plug-ins, where it has them; stays for the process.
        static std::once_flag once;
        std::call_once(once, [] { heif_init(nullptr); });
        context.reset(heif_context_alloc());
        if (!context) {
            *why = "out of memory";
            return false;
        }
        // Tiles one after another: the decoding service owns the threads,
        // and pictures are decoded side by side instead.
        heif_context_set_max_decoding_threads(context.get(), 0);
        heif_error err = heif_context_read_from_reader(context.get(), &kReader, &reader, nullptr);
        heif_image_handle* h = nullptr;
        if (err.code == heif_error_Ok)
            err = heif_context_get_primary_image_handle(context.get(), &h);
        if (err.code != heif_error_Ok) {
            *why = err.message;
            return false;
        }
        handle.reset(h);
        return true;
    }
};

// An nclx box's primaries and transfer curve as a colour space; invalid for
// sRGB. Curves Qt has no form for (the BT.709 family, which encoders also
// write for sRGB pictures, and the HDR curves) are taken as sRGB's.
QColorSpace SpaceOf(const heif_color_profile_nclx& nclx)
{
    QColorSpace::TransferFunction transfer = QColorSpace::TransferFunction::SRgb;
    float gamma = 0;
    switch (nclx.transfer_characteristics) {
    case heif_transfer_characteristic_linear: transfer = QColorSpace::TransferFunction::Linear; break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
        transfer = QColorSpace::TransferFunction::Gamma, gamma = 2.2f;
        break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
        transfer = QColorSpace::TransferFunction::Gamma, gamma = 2.8f;
        break;
    default: break;
    }
    QColorSpace space;
    switch (nclx.color_primaries) {
    case heif_color_primaries_ITU_R_BT_709_5:
    case heif_color_primaries_unspecified:
        if (transfer == QColorSpace::TransferFunction::SRgb)
            return {};
        space = QColorSpace(QColorSpace::Primaries::SRgb, transfer, gamma);
        break;
    case heif_color_primaries_SMPTE_EG_432_1:
        space = QColorSpace(QColorSpace::Primaries::DciP3D65, transfer, gamma);
        break;
    default:
        space = QColorSpace(QPointF(nclx.color_primary_white_x, nclx.color_primary_white_y),
                            QPointF(nclx.color_primary_red_x, nclx.color_primary_red_y),
                            QPointF(nclx.color_primary_green_x, nclx.color_primary_green_y),
                            QPointF(nclx.color_primary_blue_x, nclx.color_primary_blue_y), transfer, gamma);
        break;
    }
    return space.isValid() ? space : QColorSpace();
}

ColourProfile ColourOf(const heif_image_handle* handle)
{
    ColourProfile colour;
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && size < (std::size_t(64) << 20)) {
            QByteArray icc(qsizetype(size), '\0');
            if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
                colour.icc = icc;
        }
        if (!colour.icc.isEmpty())
            return colour;
    }
    heif_color_profile_nclx* raw = nullptr;
    // libheif can hand out a profile together with an error; it is freed either way.
    const bool ok = heif_image_handle_get_nclx_color_profile(handle, &raw).code == heif_error_Ok;
    const std::unique_ptr<heif_color_profile_nclx, ProfileFree> nclx(raw);
    if (ok && nclx)
        colour.space = SpaceOf(*nclx);
    return colour;
}

bool Fits(QSize size, std::size_t maxBytes)
{
    return size.width() > 0 && size.height() > 0 &&
           std::uint64_t(size.width()) * std::uint64_t(size.height()) * 4 <= maxBytes;
}

} // namespace

bool IsHeif(const unsigned char* head, std::size_t size)
{
    if (size < 16 || std::memcmp(head + 4, "ftyp", 4) != 0)
        return false;
    // Major brand, minor version, then compatible brands to the box's end.
    const std::size_t box = Be32(head);
    const std::size_t end = box >= 16 && box < size ? box : size;
    if (HeifBrand(head + 8))
        return true;
    for (std::size_t at = 16; at + 4 <= end; at += 4)
        if (HeifBrand(head + at))
            return true;
    return false;
}

bool ReadHeifHeader(int fd, HeifHeader* header, std::string* why)
{
    Primary primary;
    if (!primary.Open(fd, why))
        return false;
    header->size = QSize(heif_image_handle_get_width(primary.handle.get()),
                         heif_image_handle_get_height(primary.handle.get()));
    header->alpha = heif_image_handle_has_alpha_channel(primary.handle.get()) != 0;
    header->colour = ColourOf(primary.handle.get());
    return true;
}

QImage DecodeHeif(int fd, std::size_t maxBytes, std::string* why)
{
    Primary primary;
    if (!primary.Open(fd, why))
        return {};
    heif_image_handle* handle = primary.handle.get();
    if (!Fits(QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle)), maxBytes)) {
        *why = "picture too large";
        return {};
    }
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    const bool premultiplied = heif_image_handle_is_premultiplied_alpha(handle) != 0;
    std::unique_ptr<heif_decoding_options, void (*)(heif_decoding_options*)> options(
        heif_decoding_options_alloc(), heif_decoding_options_free);
    if (!options) {
        *why = "out of memory";
        return {};
    }
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1;
    if (DecodeStopRequested()) {
        *why = "decoding stopped";
        return {};
    }
    heif_image* raw = nullptr;
    const heif_error err = heif_decode_image(handle, &raw, heif_colorspace_RGB,
                                             heif_chroma_interleaved_RGBA, options.get());
    if (err.code != heif_error_Ok || !raw) {
        if (raw)
            heif_image_release(raw);
        *why = err.message;
        return {};
    }
    const int width = heif_image_get_width(raw, heif_channel_interleaved);
    const int height = heif_image_get_height(raw, heif_channel_interleaved);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    if (!plane || !Fits(QSize(width, height), maxBytes) || stride < width * 4) {
        heif_image_release(raw);
        *why = "decoded picture damaged";
        return {};
    }
    // The pixels are turned into Qt's layout where libheif put them, and the
    // image shares libheif's buffer: no second copy of the picture.
    for (int y = 0; y < height; ++y) {
        std::uint8_t* p = plane + std::size_t(y) * std::size_t(stride);
        auto* out = reinterpret_cast<QRgb*>(p);
        for (int x = 0; x < width; ++x, p += 4) {
            const QRgb rgba = qRgba(p[0], p[1], p[2], alpha ? p[3] : 255);
            out[x] = alpha && !premultiplied ? qPremultiply(rgba) : rgba;
        }
    }
    return QImage(plane, width, height, stride,
                  alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32,
                  [](void* image) { heif_image_release(static_cast<heif_image*>(image)); }, raw);
}
