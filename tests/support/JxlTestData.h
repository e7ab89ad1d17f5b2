#pragma once
// JPEG XL pictures for the tests that cjxl cannot write: with a stored
// orientation (by libjxl's encoder), and one declaring a vast size.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <vector>

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

// A lossless JPEG XL picture with an orientation, by libjxl's encoder (cjxl
// of Debian 12 writes none).
inline QByteArray JxlApi(const QImage& source, JxlOrientation orientation)
{
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < rgb.height(); ++y)
        pixels.insert(pixels.end(), rgb.constScanLine(y), rgb.constScanLine(y) + rgb.width() * 3);
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = std::uint32_t(rgb.width());
    info.ysize = std::uint32_t(rgb.height());
    info.bits_per_sample = 8;
    info.uses_original_profile = JXL_TRUE;
    info.orientation = orientation;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool ok = JxlEncoderSetBasicInfo(encoder.get(), &info) == JXL_ENC_SUCCESS &&
              JxlEncoderSetColorEncoding(encoder.get(), &srgb) == JXL_ENC_SUCCESS &&
              JxlEncoderSetFrameLossless(settings, JXL_TRUE) == JXL_ENC_SUCCESS &&
              JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size()) == JXL_ENC_SUCCESS;
    JxlEncoderCloseInput(encoder.get());
    QByteArray out;
    for (JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT; ok && status == JXL_ENC_NEED_MORE_OUTPUT;) {
        const qsizetype used = out.size();
        out.resize(used + 4096);
        auto* next = reinterpret_cast<std::uint8_t*>(out.data() + used);
        std::size_t avail = 4096;
        status = JxlEncoderProcessOutput(encoder.get(), &next, &avail);
        out.resize(out.size() - qsizetype(avail));
        ok = status != JXL_ENC_ERROR;
    }
    EXPECT_TRUE(ok) << "libjxl could not write a picture";
    return out;
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
