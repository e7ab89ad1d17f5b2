#pragma once
// Lossless JPEG XL by libjxl's encoder, from 8-bit pixels; no Qt, so that the
// codec library's own test uses it too.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

// channels: 1 (grey) or 3 (RGB), rows top first without padding.
inline std::vector<std::uint8_t> EncodeJxl(const std::vector<std::uint8_t>& pixels, std::uint32_t width,
                                           std::uint32_t height, std::uint32_t channels,
                                           JxlOrientation orientation = JXL_ORIENT_IDENTITY)
{
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = width;
    info.ysize = height;
    info.bits_per_sample = 8;
    info.num_color_channels = channels;
    info.uses_original_profile = JXL_TRUE;
    info.orientation = orientation;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, channels == 1);
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
    const JxlPixelFormat format{channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool ok = JxlEncoderSetBasicInfo(encoder.get(), &info) == JXL_ENC_SUCCESS &&
              JxlEncoderSetColorEncoding(encoder.get(), &srgb) == JXL_ENC_SUCCESS &&
              JxlEncoderSetFrameLossless(settings, JXL_TRUE) == JXL_ENC_SUCCESS &&
              JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size()) == JXL_ENC_SUCCESS;
    JxlEncoderCloseInput(encoder.get());
    std::vector<std::uint8_t> out(4096);
    std::uint8_t* next = out.data();
    std::size_t avail = out.size();
    JxlEncoderStatus status = JXL_ENC_ERROR;
    while (ok && (status = JxlEncoderProcessOutput(encoder.get(), &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
        const std::size_t used = std::size_t(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        avail = out.size() - used;
    }
    EXPECT_EQ(status, JXL_ENC_SUCCESS) << "libjxl could not write a picture";
    out.resize(std::size_t(next - out.data()));
    return out;
}
