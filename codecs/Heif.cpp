#include "codecs/Heif.h"

#include "codecs/Recognise.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

namespace codec {

static_assert(h273::kPrimariesBt709 == heif_color_primaries_ITU_R_BT_709_5 &&
              h273::kPrimariesUnspecified == heif_color_primaries_unspecified &&
              h273::kPrimariesDisplayP3 == heif_color_primaries_SMPTE_EG_432_1 &&
              h273::kTransferBt470M == heif_transfer_characteristic_ITU_R_BT_470_6_System_M &&
              h273::kTransferBt470BG == heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G &&
              h273::kTransferLinear == heif_transfer_characteristic_linear);

namespace {

// libheif reads a file through this, by position, straight from the file.
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
        const ssize_t n = ReadUpTo(r->fd, data, size, std::uint64_t(r->position));
        if (n > 0)
            r->position += n;
        return n >= 0 && std::size_t(n) == size ? 0 : 1;
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
struct OptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

Error FailOf(const heif_error& err)
{
    switch (err.code) {
    case heif_error_Memory_allocation_error: return Fail(ErrorKind::OutOfMemory, err.message);
    case heif_error_Unsupported_filetype: return Fail(ErrorKind::NotThisFormat, err.message);
    case heif_error_Unsupported_feature: return Fail(ErrorKind::Unsupported, err.message);
    default: return Fail(ErrorKind::Damaged, err.message);
    }
}

// An ICC profile, else the nclx numbers; nothing for a picture that says nothing.
void ReadColour(const heif_image_handle* handle, PictureHeader& header)
{
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && size < (std::size_t(64) << 20)) {
            header.icc.resize(size);
            if (heif_image_handle_get_raw_color_profile(handle, header.icc.data()).code != heif_error_Ok)
                header.icc.clear();
        }
        if (!header.icc.empty())
            return;
    }
    heif_color_profile_nclx* raw = nullptr;
    // libheif can hand out a profile together with an error; it is freed either way.
    const bool ok = heif_image_handle_get_nclx_color_profile(handle, &raw).code == heif_error_Ok;
    const std::unique_ptr<heif_color_profile_nclx, ProfileFree> nclx(raw);
    if (!ok || !nclx)
        return;
    header.nclx = Nclx{int(nclx->color_primaries), int(nclx->transfer_characteristics),
                       nclx->color_primary_white_x, nclx->color_primary_white_y,
                       nclx->color_primary_red_x, nclx->color_primary_red_y,
                       nclx->color_primary_green_x, nclx->color_primary_green_y,
                       nclx->color_primary_blue_x, nclx->color_primary_blue_y};
}

// An open file's primary image. The reader must outlive the context.
class HeifDecoder : public Picture::Decoder {
public:
    FileReader reader;
    DecodeOptions options;
    std::unique_ptr<heif_context, ContextFree> context;
    std::unique_ptr<heif_image_handle, HandleRelease> handle;

    Result<Pixels> Decode(int channels) override;
};

} // namespace

const char* HeifLibraryVersion() { return heif_get_version(); }

Result<Picture> OpenHeif(const Source& source, DecodeOptions options)
{
    auto state = std::make_unique<HeifDecoder>();
    state->options = std::move(options);
    // Only what the ftyp box names HEIF or AVIF: libheif would open other
    // ISO media files too. (A file's box is read as far as Susie hosts read.)
    unsigned char head[2048];
    const unsigned char* start = source.data;
    std::size_t headSize = source.size;
    if (source.fd >= 0) {
        struct stat st;
        const ssize_t n = ReadAt(source.fd, head, sizeof head, 0);
        if (n < 0 || ::fstat(source.fd, &st) != 0)
            return Fail(ErrorKind::ReadFailed, std::strerror(errno));
        start = head;
        headSize = std::size_t(n);
        state->reader.fd = source.fd;
        state->reader.size = st.st_size;
    }
    if (!IsHeif(start, headSize))
        return Fail(ErrorKind::NotThisFormat, "no HEIF or AVIF brand");
    // Loads libheif's codec plug-ins, where it has them; stays for the process.
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
    state->context.reset(heif_context_alloc());
    if (!state->context)
        return Fail(ErrorKind::OutOfMemory, "no memory for a HEIF context");
    if (state->options.threads >= 0)
        heif_context_set_max_decoding_threads(state->context.get(), state->options.threads);
    heif_error err = source.fd >= 0
                         ? heif_context_read_from_reader(state->context.get(), &kReader, &state->reader, nullptr)
                         : heif_context_read_from_memory_without_copy(state->context.get(), source.data, source.size,
                                                                      nullptr);
    heif_image_handle* handle = nullptr;
    if (err.code == heif_error_Ok)
        err = heif_context_get_primary_image_handle(state->context.get(), &handle);
    if (err.code != heif_error_Ok)
        return FailOf(err);
    state->handle.reset(handle);
    PictureHeader& header = state->header;
    header.width = heif_image_handle_get_width(handle);
    header.height = heif_image_handle_get_height(handle);
    header.alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    header.premultiplied = header.alpha && heif_image_handle_is_premultiplied_alpha(handle) != 0;
    ReadColour(handle, header);
    // An AVIF sequence (avifenc writes its first frame as the still picture
    // too): its frames are libavif's to play (AvifFrames).
    header.animated = IsAvifSequence(start, headSize);
    return Picture(std::move(state));
}

Result<Pixels> HeifDecoder::Decode(int channels)
{
    if (const Result<void> fits = CheckDeclaredSize(header.width, header.height, channels, options.maxBytes); !fits)
        return fits.error();
    const std::unique_ptr<heif_decoding_options, OptionsFree> decoding(heif_decoding_options_alloc());
    if (!decoding)
        return Fail(ErrorKind::OutOfMemory, "no memory for decoding options");
    decoding->convert_hdr_to_8bit = 1;
    decoding->strict_decoding = 1;
    if (options.StopRequested())
        return Fail(ErrorKind::Stopped, "decoding stopped");
    heif_image* raw = nullptr;
    const heif_error err = heif_decode_image(handle.get(), &raw, heif_colorspace_RGB,
                                             channels == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                                             decoding.get());
    const auto release = [](void* image) { heif_image_release(static_cast<heif_image*>(image)); };
    if (err.code != heif_error_Ok || !raw) {
        if (raw)
            release(raw);
        return FailOf(err);
    }
    const int width = heif_image_get_width(raw, heif_channel_interleaved);
    const int height = heif_image_get_height(raw, heif_channel_interleaved);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    Pixels pixels(plane, width, height, std::size_t(stride > 0 ? stride : 0), release, raw);
    if (!plane || width <= 0 || height <= 0 || PixelBytes(width, height, channels) > options.maxBytes ||
        std::int64_t(stride) < std::int64_t(width) * channels)
        return Fail(ErrorKind::Damaged, "decoded picture damaged");
    return pixels;
}

} // namespace codec
