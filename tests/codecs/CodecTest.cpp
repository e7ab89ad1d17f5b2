// The codec library without Qt: recognisers on hand-made heads, and a
// decode asked to stop.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/Jxl.h"
#include "codecs/Recognise.h"
#include "support/JxlEncode.h"

namespace {

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string Be32(std::uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// An 18-byte TGA header: true colour, 24 bits, 4 x 3 pixels, no identifier.
std::string TgaHead()
{
    std::string h(18, '\0');
    h[2] = 2;
    h[12] = 4, h[14] = 3, h[16] = 24;
    return h;
}

// A grey JPEG XL picture of side x side pixels with some texture.
std::vector<std::uint8_t> GreyJxl(std::uint32_t side)
{
    std::vector<std::uint8_t> pixels(std::size_t(side) * side);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = std::uint8_t(i * 7 % 251);
    return EncodeJxl(pixels, side, side, 1);
}

} // namespace

TEST(Codec, AJpegXlDecodeStopsBetweenGroupsWhenAsked)
{
    const std::vector<std::uint8_t> jxl = GreyJxl(1024); // 16 groups of 256 x 256
    for (const int stopAt : {0, 1, 2}) {
        int asked = 0;
        codec::DecodeOptions options;
        options.threads = 0;
        options.stop = [&] { return asked++ >= stopAt; };
        codec::Result<codec::Picture> picture = codec::OpenJxl(codec::Source::Memory(jxl.data(), jxl.size()), options);
        ASSERT_TRUE(picture) << picture.error().Describe();
        EXPECT_EQ(picture->Header().width, 1024);
        const codec::Result<codec::Pixels> pixels = picture->Decode(3);
        ASSERT_FALSE(pixels) << "stopped at question " << stopAt;
        EXPECT_EQ(pixels.error().kind, codec::ErrorKind::Stopped);
        EXPECT_EQ(asked, stopAt + 1) << "no question after the stop";
    }
    // Never asked to stop, the same picture decodes.
    codec::Result<codec::Picture> picture = codec::OpenJxl(codec::Source::Memory(jxl.data(), jxl.size()));
    ASSERT_TRUE(picture);
    const codec::Result<codec::Pixels> pixels = picture->Decode(3);
    ASSERT_TRUE(pixels) << pixels.error().Describe();
    EXPECT_EQ(pixels->Row(0)[3 * 2], 14); // pixel 2 of a grey ramp, as RGB
}

TEST(Recognise, HeifBrandsInEveryFormOfTheFtypBox)
{
    using codec::HeifKind;
    const std::string pad(16, '\0');
    const struct { const char* what; std::string head; HeifKind kind; } rows[] = {
        // A 64-bit box size: the brands start 8 bytes later.
        {"largesize", Be32(1) + "ftyp" + Be32(0) + Be32(32) + "mif1" + Be32(0) + "avif" + pad, HeifKind::Avif},
        {"largesize too small", Be32(1) + "ftyp" + Be32(0) + Be32(20) + "mif1" + Be32(0) + "avif" + pad,
         HeifKind::None},
        {"largesize cut short", Be32(1) + "ftyp" + Be32(0) + Be32(32), HeifKind::None},
        // Size 0: the box runs to the end of what was read.
        {"to the end", Be32(0) + "ftyp" + "isom" + Be32(0) + "mp41" + "heic", HeifKind::Heif},
        {"box too small for a brand", Be32(12) + "ftyp" + "heic" + pad, HeifKind::None},
        {"no ftyp", Be32(24) + "free" + "heic" + Be32(0) + "mif1" + "heic" + pad, HeifKind::None},
    };
    for (const auto& r : rows)
        EXPECT_EQ(codec::HeifKindOf(Bytes(r.head), r.head.size()), r.kind) << r.what;
}

TEST(Recognise, TgaHeadersQtReadsAndTheirLayout)
{
    const std::string good = TgaHead();
    EXPECT_TRUE(codec::IsPlausibleTga(Bytes(good), good.size()));
    EXPECT_FALSE(codec::IsPlausibleTga(Bytes(good), 17));
    const struct { const char* what; int at; char value; } spoiled[] = {
        {"colour map", 1, 1}, {"run-length", 2, 10}, {"no height", 14, 0},
        {"8 bits", 16, 8}, {"reserved descriptor bits", 17, char(0x40)},
    };
    for (const auto& s : spoiled) {
        std::string h = good;
        h[std::size_t(s.at)] = s.value;
        EXPECT_FALSE(codec::IsPlausibleTga(Bytes(h), h.size())) << s.what;
    }
    std::string withId = good;
    withId[0] = 5;  // an identifier of 5 bytes before the pixels
    withId[16] = 16;
    const codec::TgaLayout layout = codec::TgaLayoutOf(Bytes(withId));
    EXPECT_EQ(layout.width, 4);
    EXPECT_EQ(layout.height, 3);
    EXPECT_EQ(layout.pixelsEnd, 18u + 5 + 4 * 3 * 2);
}

TEST(Recognise, TgaFooterIsAddedOnlyWhereItIsMissing)
{
    const std::string pixels = TgaHead() + std::string(36, '\x7f');
    const std::string_view footer = codec::MissingTgaFooter(Bytes(pixels), pixels.size());
    ASSERT_EQ(footer.size(), 26u);
    EXPECT_EQ(footer.substr(8), std::string_view("TRUEVISION-XFILE.\0", 18));
    EXPECT_EQ(footer.substr(0, 8), std::string_view("\0\0\0\0\0\0\0\0", 8)); // no extension, no developer area
    const std::string whole = pixels + std::string(footer);
    EXPECT_TRUE(codec::MissingTgaFooter(Bytes(whole), whole.size()).empty());
}
