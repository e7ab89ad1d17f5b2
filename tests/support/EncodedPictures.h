#pragma once
// Pictures by the formats' own encoders, for what the command-line tools of
// Debian 12 cannot write (a stored orientation, transparency, nclx colours)
// and for the benchmarks' photographs. An empty result means the encoder
// failed; the caller reports it.
#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <cstring>
#include <vector>

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <libheif/heif.h>

struct HeifSettings {
    heif_compression_format compression = heif_compression_HEVC;
    heif_orientation orientation = heif_orientation_normal;
    heif_color_primaries primaries = heif_color_primaries_unspecified; // written as nclx when given
    int quality = 95;
    bool fast = false; // the encoder's fast setting (the decoder's work is the same)
};

// HEIC or AVIF by libheif's encoder, which writes the irot/imir boxes of an
// orientation; with transparency when the picture has an alpha channel.
inline QByteArray HeifEncode(const QImage& source, const HeifSettings& settings = {})
{
    const bool alpha = source.hasAlphaChannel();
    const QImage pixels = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = settings.orientation;
    QByteArray out;
    const auto write = [](heif_context*, const void* data, size_t size, void* to) {
        static_cast<QByteArray*>(to)->append(static_cast<const char*>(data), qsizetype(size));
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
    };
    heif_writer writer{1, write};
    bool ok = heif_context_get_encoder_for_format(ctx, settings.compression, &encoder).code == heif_error_Ok &&
              heif_image_create(pixels.width(), pixels.height(), heif_colorspace_RGB,
                                alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &image)
                      .code == heif_error_Ok &&
              heif_image_add_plane(image, heif_channel_interleaved, pixels.width(), pixels.height(), 8).code ==
                  heif_error_Ok;
    if (ok) {
        int stride = 0;
        uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        const std::size_t rowBytes = std::size_t(pixels.width()) * (alpha ? 4 : 3);
        for (int y = 0; y < pixels.height(); ++y)
            std::memcpy(plane + std::size_t(y) * std::size_t(stride), pixels.constScanLine(y), rowBytes);
        heif_encoder_set_lossy_quality(encoder, settings.quality);
        if (settings.fast && settings.compression == heif_compression_AV1)
            heif_encoder_set_parameter(encoder, "speed", "8");
        else if (settings.fast)
            heif_encoder_set_parameter(encoder, "preset", "fast");
        if (settings.primaries != heif_color_primaries_unspecified) {
            heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
            heif_nclx_color_profile_set_color_primaries(nclx, settings.primaries);
            heif_nclx_color_profile_set_transfer_characteristics(nclx, heif_transfer_characteristic_IEC_61966_2_1);
            heif_nclx_color_profile_set_matrix_coefficients(nclx, heif_matrix_coefficients_ITU_R_BT_601_6);
            nclx->full_range_flag = 1;
            options->output_nclx_profile = nclx;
            // Else HEIC keeps it only in the HEVC data, where libheif 1.15 does not read it.
            options->macOS_compatibility_workaround_no_nclx_profile = 0;
            ok = heif_image_set_nclx_color_profile(image, nclx).code == heif_error_Ok;
        }
        ok = ok && heif_context_encode_image(ctx, image, encoder, options, nullptr).code == heif_error_Ok &&
             heif_context_write(ctx, &writer, &out).code == heif_error_Ok;
    }
    if (options->output_nclx_profile)
        heif_nclx_color_profile_free(options->output_nclx_profile);
    options->output_nclx_profile = nullptr;
    heif_encoding_options_free(options);
    if (image)
        heif_image_release(image);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(ctx);
    return ok ? out : QByteArray();
}

struct JxlSettings {
    JxlOrientation orientation = JXL_ORIENT_IDENTITY;
    float distance = 0; // 0: lossless
    int effort = 0;     // 0: the encoder's default
};

// JPEG XL by libjxl's encoder (cjxl of Debian 12 writes no orientation).
inline QByteArray JxlEncode(const QImage& source, const JxlSettings& settings = {})
{
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    std::vector<std::uint8_t> pixels;
    pixels.reserve(std::size_t(rgb.width()) * std::size_t(rgb.height()) * 3);
    for (int y = 0; y < rgb.height(); ++y)
        pixels.insert(pixels.end(), rgb.constScanLine(y), rgb.constScanLine(y) + rgb.width() * 3);
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = std::uint32_t(rgb.width());
    info.ysize = std::uint32_t(rgb.height());
    info.bits_per_sample = 8;
    info.uses_original_profile = settings.distance == 0 ? JXL_TRUE : JXL_FALSE;
    info.orientation = settings.orientation;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderFrameSettings* frame = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
    if (settings.effort > 0)
        JxlEncoderFrameSettingsSetOption(frame, JXL_ENC_FRAME_SETTING_EFFORT, settings.effort);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool ok = JxlEncoderSetBasicInfo(encoder.get(), &info) == JXL_ENC_SUCCESS &&
              JxlEncoderSetColorEncoding(encoder.get(), &srgb) == JXL_ENC_SUCCESS &&
              (settings.distance == 0 ? JxlEncoderSetFrameLossless(frame, JXL_TRUE)
                                      : JxlEncoderSetFrameDistance(frame, settings.distance)) == JXL_ENC_SUCCESS &&
              JxlEncoderAddImageFrame(frame, &format, pixels.data(), pixels.size()) == JXL_ENC_SUCCESS;
    JxlEncoderCloseInput(encoder.get());
    QByteArray out;
    for (JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT; ok && status == JXL_ENC_NEED_MORE_OUTPUT;) {
        const qsizetype used = out.size();
        out.resize(used + (qsizetype(1) << 20));
        auto* next = reinterpret_cast<std::uint8_t*>(out.data() + used);
        std::size_t avail = std::size_t(1) << 20;
        status = JxlEncoderProcessOutput(encoder.get(), &next, &avail);
        out.resize(out.size() - qsizetype(avail));
        ok = status != JXL_ENC_ERROR;
    }
    return ok ? out : QByteArray();
}

// A codestream of 100000 x 100000 pixels and nothing else: its size header
// (not small; height 100000 in 18 bits; width by ratio 1:1), then the
// default image header.
inline QByteArray HugeJxl()
{
    QByteArray jxl("\xFF\x0A", 2);
    std::uint64_t bits = 0;
    int count = 0;
    const auto put = [&](std::uint64_t value, int n) { bits |= value << count, count += n; };
    put(0, 1), put(2, 2), put(99999, 18), put(1, 3), put(1, 1);
    for (int i = 0; i < 8; ++i, bits >>= 8)
        jxl.append(char(bits & 0xFF));
    return jxl + QByteArray(64, '\0');
}
