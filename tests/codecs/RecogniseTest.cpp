// The recognisers of the codec library on hand-made heads.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "codecs/Recognise.h"

namespace {

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string Be32(std::uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// An ftyp box of the given brands, padded.
std::string Ftyp(const char* major, std::initializer_list<const char*> compatible)
{
    std::string box = Be32(std::uint32_t(16 + 4 * compatible.size())) + "ftyp" + major + Be32(0);
    for (const char* c : compatible)
        box += c;
    return box + std::string(64, '\0');
}

} // namespace

TEST(Recognise, HeifBrandsInEveryFormOfTheFtypBox)
{
    using codec::HeifKind;
    const std::string pad(16, '\0');
    const struct { const char* what; std::string head; HeifKind kind; } rows[] = {
        {"heic", Ftyp("mif1", {"mif1", "heic"}), HeifKind::Heif},
        {"hevc", Ftyp("msf1", {"hevc"}), HeifKind::Heif},
        {"avif", Ftyp("mif1", {"miaf", "avif"}), HeifKind::Avif},
        {"avis", Ftyp("avis", {"msf1"}), HeifKind::Avif},
        {"heix", Ftyp("heix", {"mif1"}), HeifKind::Heif},
        {"only the generic image brand", Ftyp("mif1", {"miaf"}), HeifKind::Heif},
        {"an MP4 video", Ftyp("isom", {"mp41", "avc1"}), HeifKind::None},
        {"QuickTime", Ftyp("qt  ", {}), HeifKind::None},
        {"avif after the box's end", Be32(20) + "ftyp" + "isom" + Be32(0) + "mp41" + "avif" + pad, HeifKind::None},
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
    // True colour, 24 bits, 4 x 3 pixels, no identifier.
    std::string good(18, '\0');
    good[2] = 2;
    good[12] = 4, good[14] = 3, good[16] = 24;
    EXPECT_TRUE(codec::IsPlausibleTga(Bytes(good), good.size()));
    EXPECT_FALSE(codec::IsPlausibleTga(Bytes(good), 17));
    const struct { const char* what; int at; char value; } spoiled[] = {
        {"colour map", 1, 1}, {"run-length", 2, 10}, {"no width", 12, 0}, {"no height", 14, 0},
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
