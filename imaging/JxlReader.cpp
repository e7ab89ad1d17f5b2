#include "imaging/JxlReader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h> // JxlColorEncodingSetToSRGB
#include <jxl/parallel_runner.h>
#include <unistd.h>

#include "imaging/DecodeService.h"

namespace {

// The file is handed to libjxl in pieces of this size, so that reading the
// header reads little more than the header.
constexpr std::size_t kChunk = std::size_t(64) << 10;

// libjxl's parallel runner: the groups run on this thread and on the
// decoding threads that are idle, and the decode stops between two groups
// when it should.
JxlParallelRetCode RunGroups(void*, void* opaque, JxlParallelRunInit init, JxlParallelRunFunction run,
                             std::uint32_t start, std::uint32_t end)
{
    if (DecodeStopRequested())
        return -1;
    const std::uint32_t count = end - start;
    // libjxl sizes its scratch space by the threads it is told; fewer may
    // take part when the idle workers are taken meanwhile.
    const int threads = 1 + int(std::min<std::uint32_t>(std::uint32_t(DecodeService::IdleWorkers()), count ? count - 1 : 0));
    if (const JxlParallelRetCode code = init(opaque, std::size_t(threads)))
        return code;
    std::atomic<std::uint32_t> next{0};
    const auto work = [&](std::size_t slot) {
        for (std::uint32_t i; (i = next.fetch_add(1)) < count;)
            run(opaque, start + i, slot);
    };
    std::vector<DecodeService::Borrowed> helpers;
    for (int slot = 1; slot < threads; ++slot) {
        DecodeService::Borrowed helper = DecodeService::TryBorrow([&work, slot] { work(std::size_t(slot)); });
        if (!helper)
            break;
        helpers.push_back(std::move(helper));
    }
    work(0);
    for (DecodeService::Borrowed& helper : helpers)
        helper.Wait();
    return 0;
}

// A decoder fed from an open file, from its start.
class Session {
public:
    Session(int fd, int events) : mFd(fd), mDecoder(JxlDecoderMake(nullptr))
    {
        mReady = mDecoder && JxlDecoderSubscribeEvents(mDecoder.get(), events) == JXL_DEC_SUCCESS;
    }

    JxlDecoder* Get() const { return mDecoder.get(); }
    bool Ready() const { return mReady; }

    // Spreads decoding over the idle decoding threads, and stops between two
    // groups of rows when the decode should.
    bool UseThreads()
    {
        return JxlDecoderSetParallelRunner(mDecoder.get(), RunGroups, nullptr) == JXL_DEC_SUCCESS;
    }

    // The next event, reading more of the file while libjxl asks for it.
    // JXL_DEC_ERROR (with *why) when the data is damaged or ends early.
    JxlDecoderStatus Next(std::string* why)
    {
        for (;;) {
            const JxlDecoderStatus status = JxlDecoderProcessInput(mDecoder.get());
            if (status == JXL_DEC_ERROR)
                *why = "JPEG XL data damaged";
            if (status != JXL_DEC_NEED_MORE_INPUT)
                return status;
            if (mClosed) {
                *why = "JPEG XL data cut short";
                return JXL_DEC_ERROR;
            }
            // Bytes libjxl has not used yet must be handed to it again.
            const std::size_t unused = mFed ? JxlDecoderReleaseInput(mDecoder.get()) : 0;
            mBuffer.erase(mBuffer.begin(), mBuffer.end() - std::ptrdiff_t(unused));
            const std::size_t kept = mBuffer.size();
            mBuffer.resize(kept + kChunk);
            ssize_t n;
            do
                n = ::read(mFd, mBuffer.data() + kept, kChunk);
            while (n < 0 && errno == EINTR);
            if (n < 0) {
                *why = std::strerror(errno);
                return JXL_DEC_ERROR;
            }
            mBuffer.resize(kept + std::size_t(n));
            JxlDecoderSetInput(mDecoder.get(), mBuffer.data(), mBuffer.size());
            mFed = true;
            if (n == 0) {
                JxlDecoderCloseInput(mDecoder.get());
                mClosed = true;
            }
        }
    }

private:
    int mFd;
    JxlDecoderPtr mDecoder;
    std::vector<std::uint8_t> mBuffer;
    bool mReady = false;
    bool mFed = false;
    bool mClosed = false;
};

bool Rewind(int fd, std::string* why)
{
    if (::lseek(fd, 0, SEEK_SET) == 0)
        return true;
    *why = std::strerror(errno);
    return false;
}

QSize UprightSize(const JxlBasicInfo& info)
{
    const QSize stored(int(std::min<std::uint32_t>(info.xsize, INT32_MAX)),
                       int(std::min<std::uint32_t>(info.ysize, INT32_MAX)));
    // Orientations 5 to 8 turn the picture by a quarter.
    return info.orientation >= JXL_ORIENT_TRANSPOSE ? stored.transposed() : stored;
}

// Lossy pictures are stored in libjxl's own colour space and libjxl may give
// them in any: sRGB, which needs no converting afterwards. Pictures kept in
// their original colours come in those.
void PreferSrgb(JxlDecoder* decoder, const JxlBasicInfo& info)
{
    if (info.uses_original_profile)
        return;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, info.num_color_channels == 1);
    JxlDecoderSetPreferredColorProfile(decoder, &srgb);
}

// The profile of the pixels libjxl gives; empty for sRGB.
ColourProfile DataColour(const JxlDecoder* decoder)
{
    JxlColorEncoding encoding;
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
            JXL_DEC_SUCCESS &&
        encoding.white_point == JXL_WHITE_POINT_D65 && encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
        (encoding.color_space == JXL_COLOR_SPACE_GRAY ||
         (encoding.color_space == JXL_COLOR_SPACE_RGB && encoding.primaries == JXL_PRIMARIES_SRGB)))
        return {};
    ColourProfile colour;
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0)
        return colour;
    QByteArray icc(qsizetype(size), '\0');
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<std::uint8_t*>(icc.data()), size) == JXL_DEC_SUCCESS)
        colour.icc = icc;
    return colour;
}

// Straight RGBA bytes from libjxl into a Format_ARGB32_Premultiplied or
// Format_RGB32 image; libjxl may call this from several threads at once,
// each with its own pixels.
struct Output {
    std::uint8_t* bits = nullptr;
    std::size_t stride = 0, width = 0, height = 0;
    bool alpha = false;

    static void Write(void* self, std::size_t x, std::size_t y, std::size_t count, const void* pixels)
    {
        const auto* o = static_cast<const Output*>(self);
        if (y >= o->height || x > o->width || count > o->width - x)
            return; // never outside the image, whatever libjxl reports
        const auto* p = static_cast<const std::uint8_t*>(pixels);
        auto* out = reinterpret_cast<QRgb*>(o->bits + y * o->stride) + x;
        if (o->alpha) {
            for (std::size_t i = 0; i < count; ++i, p += 4)
                out[i] = qPremultiply(qRgba(p[0], p[1], p[2], p[3]));
        } else {
            for (std::size_t i = 0; i < count; ++i, p += 4)
                out[i] = qRgb(p[0], p[1], p[2]);
        }
    }
};

} // namespace

bool IsJxl(const unsigned char* head, std::size_t size)
{
    const JxlSignature signature = JxlSignatureCheck(head, size);
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

bool ReadJxlHeader(int fd, JxlHeader* header, std::string* why)
{
    if (!Rewind(fd, why))
        return false;
    Session session(fd, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING);
    if (!session.Ready()) {
        *why = "out of memory";
        return false;
    }
    JxlBasicInfo info{};
    for (;;) {
        switch (session.Next(why)) {
        case JXL_DEC_BASIC_INFO:
            if (JxlDecoderGetBasicInfo(session.Get(), &info) != JXL_DEC_SUCCESS) {
                *why = "JPEG XL header damaged";
                return false;
            }
            header->size = UprightSize(info);
            header->alpha = info.alpha_bits > 0;
            break;
        case JXL_DEC_COLOR_ENCODING:
            PreferSrgb(session.Get(), info);
            header->colour = DataColour(session.Get());
            return true;
        case JXL_DEC_SUCCESS:
            *why = "JPEG XL header missing";
            return false;
        case JXL_DEC_ERROR:
            return false;
        default:
            break;
        }
    }
}

QImage DecodeJxl(int fd, std::size_t maxBytes, std::string* why)
{
    if (!Rewind(fd, why))
        return {};
    Session session(fd, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
    if (!session.Ready() || !session.UseThreads()) {
        *why = "out of memory";
        return {};
    }
    // Straight alpha from every file, premultiplied here as Qt keeps it.
    JxlDecoderSetUnpremultiplyAlpha(session.Get(), JXL_TRUE);
    JxlBasicInfo info{};
    QImage image;
    Output output;
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        switch (session.Next(why)) {
        case JXL_DEC_BASIC_INFO: {
            if (JxlDecoderGetBasicInfo(session.Get(), &info) != JXL_DEC_SUCCESS) {
                *why = "JPEG XL header damaged";
                return {};
            }
            const QSize size = UprightSize(info);
            // The size the file declares is checked before anything is made for it.
            if (size.isEmpty() || std::uint64_t(size.width()) * std::uint64_t(size.height()) * 4 > maxBytes) {
                *why = "picture too large";
                return {};
            }
            output.alpha = info.alpha_bits > 0;
            image = QImage(size, output.alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
            if (image.isNull()) {
                *why = "out of memory";
                return {};
            }
            output.bits = image.bits();
            output.stride = std::size_t(image.bytesPerLine());
            output.width = std::size_t(size.width());
            output.height = std::size_t(size.height());
            break;
        }
        case JXL_DEC_COLOR_ENCODING:
            PreferSrgb(session.Get(), info);
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            if (image.isNull() ||
                JxlDecoderSetImageOutCallback(session.Get(), &format, Output::Write, &output) != JXL_DEC_SUCCESS) {
                *why = "JPEG XL pixels cannot be decoded";
                return {};
            }
            break;
        case JXL_DEC_FULL_IMAGE: // the first frame is the picture shown
            return image;
        case JXL_DEC_SUCCESS:
            *why = "JPEG XL picture missing";
            return {};
        case JXL_DEC_ERROR:
            return {};
        default:
            break;
        }
    }
}
