#include "codecs/Jxl.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h> // JxlColorEncodingSetToSRGB
#include <jxl/parallel_runner.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>
#include <unistd.h>

namespace codec {

namespace {

// A file is handed to libjxl in pieces of this size, so that reading the
// header reads little more than the header.
constexpr std::size_t kChunk = std::size_t(64) << 10;

// libjxl's parallel runner when libjxl has no threads of its own: the groups
// run on this thread and on the threads the caller lends, and the decode
// stops between two groups when it should.
struct GroupRunner {
    const DecodeOptions* options = nullptr;
    bool stopped = false;
};

JxlParallelRetCode RunGroups(void* self, void* opaque, JxlParallelRunInit init, JxlParallelRunFunction run,
                             std::uint32_t start, std::uint32_t end)
{
    auto& runner = *static_cast<GroupRunner*>(self);
    const DecodeOptions& options = *runner.options;
    if (options.StopRequested()) {
        runner.stopped = true;
        return -1;
    }
    const std::uint32_t count = end - start;
    // libjxl sizes its scratch space by the threads it is told; fewer may
    // take part when the lent threads are taken meanwhile.
    const int idle = options.lender.idle && options.lender.start ? options.lender.idle() : 0;
    const int threads = 1 + int(std::min<std::uint32_t>(std::uint32_t(std::max(idle, 0)), count ? count - 1 : 0));
    if (const JxlParallelRetCode code = init(opaque, std::size_t(threads)))
        return code;
    std::atomic<std::uint32_t> next{0};
    const auto work = [&](std::size_t slot) {
        for (std::uint32_t i; (i = next.fetch_add(1)) < count;)
            run(opaque, start + i, slot);
    };
    std::vector<std::function<void()>> waits;
    for (int slot = 1; slot < threads; ++slot) {
        std::function<void()> wait = options.lender.start([&work, slot] { work(std::size_t(slot)); });
        if (!wait)
            break;
        waits.push_back(std::move(wait));
    }
    work(0);
    for (const std::function<void()>& wait : waits)
        wait();
    return 0;
}

// Interleaved 8-bit pixels from libjxl into a buffer of the picture's size;
// libjxl may call this from several threads at once, each with its own pixels.
struct Output {
    unsigned char* bits = nullptr;
    std::size_t stride = 0, width = 0, height = 0, channels = 0;

    static void Write(void* self, std::size_t x, std::size_t y, std::size_t count, const void* pixels)
    {
        const auto* o = static_cast<const Output*>(self);
        if (y >= o->height || x > o->width || count > o->width - x)
            return; // never outside the picture, whatever libjxl reports
        std::memcpy(o->bits + y * o->stride + x * o->channels, pixels, count * o->channels);
    }
};

// The profile of the pixels libjxl gives; empty for sRGB.
std::vector<unsigned char> DataProfile(const JxlDecoder* decoder)
{
    JxlColorEncoding encoding;
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
            JXL_DEC_SUCCESS &&
        encoding.white_point == JXL_WHITE_POINT_D65 && encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
        (encoding.color_space == JXL_COLOR_SPACE_GRAY ||
         (encoding.color_space == JXL_COLOR_SPACE_RGB && encoding.primaries == JXL_PRIMARIES_SRGB)))
        return {};
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0)
        return {};
    std::vector<unsigned char> icc(size);
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, icc.data(), size) !=
        JXL_DEC_SUCCESS)
        return {};
    return icc;
}

// A decoder fed from memory or from a file, from its start.
class FrameDecoder final : public Picture::Decoder {
public:
    Source source;
    DecodeOptions options;
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    JxlThreadParallelRunnerPtr threads{nullptr};
    GroupRunner runner{&options};
    std::vector<std::uint8_t> buffer; // what has been read of a file and not used yet
    std::uint64_t filePosition = 0;
    bool fed = false, closed = false;
    JxlBasicInfo info{};

    Result<Pixels> Decode(int channels) override;
    Result<Frame> NextFrame(int channels) override;
    int frameIndex = 0;
    std::uint32_t frameTicks = 0; // the duration of the frame being decoded

    // The next whole frame; *ended when the file has no more.
    Result<Pixels> DecodeFrame(int channels, bool& ended);
    // The events wanted, who decodes the groups, and straight alpha from
    // every file (callers premultiply as they keep it).
    bool Setup()
    {
        return JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                            JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE) == JXL_DEC_SUCCESS &&
               UseThreads() && JxlDecoderSetUnpremultiplyAlpha(decoder.get(), JXL_TRUE) == JXL_DEC_SUCCESS;
    }
    // From the file's start again, as a new decoder (libjxl 0.7's rewind
    // ends at once when the input was closed).
    Result<void> Rewind()
    {
        JxlDecoderReset(decoder.get());
        buffer.clear();
        filePosition = 0;
        fed = closed = false;
        frameIndex = 0;
        if (!Setup())
            return Fail(ErrorKind::OutOfMemory, "no memory for a JPEG XL decoder");
        return {};
    }

    // The next event, reading more of a file while libjxl asks for it;
    // an error when the data is damaged or ends early.
    Result<JxlDecoderStatus> Next()
    {
        for (;;) {
            const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
            if (status == JXL_DEC_ERROR && runner.stopped)
                return Fail(ErrorKind::Stopped, "decoding stopped");
            if (status == JXL_DEC_ERROR)
                return Fail(ErrorKind::Damaged, "JPEG XL data damaged");
            if (status != JXL_DEC_NEED_MORE_INPUT)
                return status;
            if (closed)
                return Fail(ErrorKind::Damaged, "JPEG XL data cut short");
            if (Result<void> fed = Feed(); !fed)
                return fed.error();
        }
    }

    Result<void> Feed()
    {
        if (source.fd < 0) {
            JxlDecoderSetInput(decoder.get(), source.data, source.size);
            JxlDecoderCloseInput(decoder.get());
            closed = true;
            return {};
        }
        // Bytes libjxl has not used yet must be handed to it again.
        const std::size_t unused = fed ? JxlDecoderReleaseInput(decoder.get()) : 0;
        buffer.erase(buffer.begin(), buffer.end() - std::ptrdiff_t(unused));
        const std::size_t kept = buffer.size();
        buffer.resize(kept + kChunk);
        const ssize_t n = ReadAt(source.fd, buffer.data() + kept, kChunk, filePosition);
        if (n < 0)
            return Fail(ErrorKind::ReadFailed, std::strerror(errno));
        buffer.resize(kept + std::size_t(n));
        filePosition += std::uint64_t(n);
        JxlDecoderSetInput(decoder.get(), buffer.data(), buffer.size());
        fed = true;
        if (n == 0) {
            JxlDecoderCloseInput(decoder.get());
            closed = true;
        }
        return {};
    }

    bool UseThreads()
    {
        if (options.threads != 0) {
            const std::size_t count = options.threads < 0 ? JxlThreadParallelRunnerDefaultNumWorkerThreads()
                                                          : std::size_t(options.threads);
            threads = JxlThreadParallelRunnerMake(nullptr, count);
            return threads &&
                   JxlDecoderSetParallelRunner(decoder.get(), JxlThreadParallelRunner, threads.get()) == JXL_DEC_SUCCESS;
        }
        return JxlDecoderSetParallelRunner(decoder.get(), RunGroups, &runner) == JXL_DEC_SUCCESS;
    }

    // Lossy pictures are stored in libjxl's own colour space and libjxl may
    // give them in any: sRGB, which needs no converting afterwards. Pictures
    // kept in their original colours come in those.
    void PreferSrgb()
    {
        if (info.uses_original_profile)
            return;
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, info.num_color_channels == 1);
        JxlDecoderSetPreferredColorProfile(decoder.get(), &srgb);
    }
};

} // namespace

bool IsJxl(const unsigned char* head, std::size_t size)
{
    const JxlSignature signature = JxlSignatureCheck(head, size);
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

std::string JxlLibraryVersion()
{
    const std::uint32_t v = JxlDecoderVersion();
    return std::to_string(v / 1000000) + "." + std::to_string(v / 1000 % 1000) + "." + std::to_string(v % 1000);
}

Result<Picture> OpenJxl(const Source& source, DecodeOptions options)
{
    if (source.fd < 0 && !IsJxl(source.data, source.size))
        return Fail(ErrorKind::NotThisFormat, "no JPEG XL signature");
    auto state = std::make_unique<FrameDecoder>();
    state->source = source;
    state->options = std::move(options);
    JxlDecoder* decoder = state->decoder.get();
    if (!decoder || !state->Setup())
        return Fail(ErrorKind::OutOfMemory, "no memory for a JPEG XL decoder");
    for (;;) {
        const Result<JxlDecoderStatus> status = state->Next();
        if (!status)
            return status.error();
        switch (*status) {
        case JXL_DEC_BASIC_INFO: {
            JxlBasicInfo& info = state->info;
            if (JxlDecoderGetBasicInfo(decoder, &info) != JXL_DEC_SUCCESS)
                return Fail(ErrorKind::Damaged, "JPEG XL header damaged");
            // libjxl turns the picture upright and gives the size it hands out.
            state->header.width = int(std::min<std::uint32_t>(info.xsize, INT32_MAX));
            state->header.height = int(std::min<std::uint32_t>(info.ysize, INT32_MAX));
            state->header.alpha = info.alpha_bits > 0;
            state->header.animated = info.have_animation;
            state->header.plays = info.have_animation ? int(std::min<std::uint32_t>(info.animation.num_loops, INT32_MAX)) : 0;
            break;
        }
        case JXL_DEC_COLOR_ENCODING:
            state->PreferSrgb();
            state->header.icc = DataProfile(decoder);
            return Picture(std::move(state));
        case JXL_DEC_SUCCESS:
        case JXL_DEC_FULL_IMAGE:
            return Fail(ErrorKind::Damaged, "JPEG XL header missing");
        default:
            break;
        }
    }
}

Result<Pixels> FrameDecoder::Decode(int channels)
{
    bool ended = false;
    Result<Pixels> pixels = DecodeFrame(channels, ended);
    if (ended)
        return Fail(ErrorKind::Damaged, "JPEG XL picture missing");
    return pixels;
}

Result<Pixels> FrameDecoder::DecodeFrame(int channels, bool& ended)
{
    ended = false;
    if (const Result<void> fits = CheckDeclaredSize(header.width, header.height, channels, options.maxBytes); !fits)
        return fits.error();
    const std::size_t stride = std::size_t(header.width) * std::size_t(channels);
    auto* bits = static_cast<unsigned char*>(std::malloc(stride * std::size_t(header.height)));
    if (!bits)
        return Fail(ErrorKind::OutOfMemory, "no memory for the picture");
    Pixels pixels(bits, header.width, header.height, stride, std::free, bits);
    Output output{bits, stride, std::size_t(header.width), std::size_t(header.height),
                  std::size_t(channels)};
    const JxlPixelFormat format{std::uint32_t(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        const Result<JxlDecoderStatus> status = Next();
        if (!status)
            return status.error();
        switch (*status) {
        case JXL_DEC_COLOR_ENCODING: // again after a rewind
            PreferSrgb();
            break;
        case JXL_DEC_FRAME: {
            JxlFrameHeader frame;
            frameTicks = JxlDecoderGetFrameHeader(decoder.get(), &frame) == JXL_DEC_SUCCESS ? frame.duration : 0;
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            if (JxlDecoderSetImageOutCallback(decoder.get(), &format, Output::Write, &output) != JXL_DEC_SUCCESS)
                return Fail(ErrorKind::Damaged, "JPEG XL pixels cannot be decoded");
            break;
        case JXL_DEC_FULL_IMAGE: // whole frames: libjxl blends them
            return pixels;
        case JXL_DEC_SUCCESS:
            ended = true;
            return Fail(ErrorKind::Damaged, "JPEG XL frames missing");
        default:
            break;
        }
    }
}

Result<Picture::Frame> FrameDecoder::NextFrame(int channels)
{
    if (!header.animated)
        return Fail(ErrorKind::NotThisFormat, "not an animation");
    for (bool rewound = false;; rewound = true) {
        bool ended = false;
        Result<Pixels> pixels = DecodeFrame(channels, ended);
        if (ended && !rewound) {
            if (Result<void> again = Rewind(); !again)
                return again.error();
            continue;
        }
        if (!pixels)
            return pixels.error();
        // Ticks of the animation's clock; a file without a clock says nothing.
        const JxlAnimationHeader& clock = info.animation;
        const std::uint64_t ms = clock.tps_numerator == 0
                                     ? 0
                                     : std::uint64_t(frameTicks) * 1000 * clock.tps_denominator / clock.tps_numerator;
        return Frame{std::move(*pixels), int(std::min<std::uint64_t>(ms, INT32_MAX)), frameIndex++};
    }
}

} // namespace codec
