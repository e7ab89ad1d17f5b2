// ifheif.spi through the bridge, on HEIC and AVIF files made by libheif's encoder.
#include <libheif/heif.h>

#include "SpiHost.h"
#include "support/EncodedPictures.h"

// The HEVC encoder keeps a few allocations for the life of the process; in
// sanitizer builds that is not this program's leak.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265\n";
}

namespace {

QByteArray Plugin() { return ShippedPlugin("ifheif.spi"); }

// heif-enc of Debian 12 writes no rotation, so HEIC pictures are made with
// libheif's encoder, which writes the irot/imir boxes of an orientation.
QByteArray Heic(const QImage& source, heif_orientation orientation = heif_orientation_normal)
{
    return HeifEncode(source.convertToFormat(QImage::Format_RGB32), {heif_compression_HEVC, orientation, {}, 90});
}

} // namespace

TEST(IfHeif, PluginInfoNamesVersionAndPairsAndRespectsSmallBuffers)
{
    EXPECT_TRUE(PluginText(Plugin(), 1).contains(QString("libheif ") + heif_get_version()));
    // "HEIF " is 5 bytes, "画" 3 more: a 7-byte buffer holds no part of it.
    const struct { int infono, buflen; const char* text; } rows[] = {
        {0, 256, "00IN"}, {2, 256, "*.heic;*.heif"}, {3, 256, "HEIF 画像"}, {4, 256, "*.avif"},
        {5, 256, "AVIF 画像"}, {6, 256, ""}, {-1, 256, ""}, {0, 3, "00"}, {0, 1, ""}, {0, 0, ""},
        {3, 7, "HEIF "}, {3, 9, "HEIF 画"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(PluginText(Plugin(), r.infono, r.buflen), r.text) << r.infono << " in " << r.buflen;
}

// Which brands make HEIF or AVIF: tests/codecs. Here the content, not the
// name, decides.
TEST(IfHeif, SupportByContentNotByName)
{
    TempTree tree;
    const QByteArray jpeg = Encode(Quadrants(16, 16), "JPEG");
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("photo.jpg", Heic(Quadrants(64, 64)))), 1);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("fake.heic", jpeg)), 0);
    EXPECT_EQ(Supported(Plugin(), tree.WriteFile("empty.heic", {})), 0);
    EXPECT_EQ(DecodeMemory(Plugin(), jpeg).rc, 2);
}

// The stored orientation is the codec library's, tested with the built-in
// loader (tests/imaging/FormatTest.cpp); here the DIB the plug-in builds.
TEST(IfHeif, DecodesHeicAndAvif)
{
    TempTree tree;
    const struct { const char* what; QByteArray bytes; QImage expected; int kind; } rows[] = {
        {"heic", Heic(Quadrants(64, 64)), Quadrants(64, 64), 1},
        {"odd width, turned", Heic(Quadrants(20, 30), heif_orientation_rotate_90_cw), // rows of 90 bytes padded to 92
         Quadrants(20, 30).transformed(QTransform().rotate(90)), 1},
        {"avif", HeifEncode(Quadrants(64, 64), {heif_compression_AV1}), Quadrants(64, 64), 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_FALSE(r.bytes.isEmpty());
        EXPECT_EQ(Supported(Plugin(), tree.WriteFile("p", r.bytes)), r.kind);
        ExpectDecodes(Plugin(), r.bytes, r.expected, 40);
    }
}

TEST(IfHeif, DamagedMissingAndOversizedInputGiveErrorCodes)
{
    const QByteArray bytes = Heic(Quadrants(64, 64));
    ASSERT_GT(bytes.size(), 200);
    // 30000 x 20000 at 3 bytes a pixel is 1.8 GB: refused before decoding.
    QByteArray huge = bytes;
    const qsizetype ispe = huge.indexOf("ispe");
    ASSERT_GT(ispe, 0);
    huge.replace(ispe + 8, 8, QByteArray::fromHex("0000753000004e20"));
    ExpectRefused(Plugin(), {bytes.left(bytes.size() / 2), bytes.left(40), bytes.left(bytes.size() - 10)}, huge);
    EXPECT_EQ(DecodeMemory(Plugin(), QByteArray(300, '\0')).rc, 2);
}
