// ifjxl.spi through the bridge, on JPEG XL files made by cjxl and libjxl.
#include <jxl/decode.h>

#include "SpiHost.h"
#include "support/EncodedPictures.h"

namespace {

QByteArray Plugin() { return ShippedPlugin("ifjxl.spi"); }

// A JPEG XL file by cjxl (Debian libjxl-tools).
QByteArray Cjxl(const TempTree& tree, const QImage& image, const QStringList& options = {"-d", "1"})
{
    const QString png = tree.WriteFile("source.png", Encode(image, "png")), out = tree.Path() + "/out.jxl";
    return RunTool("cjxl", QStringList{png, out, "--quiet"} + options, out);
}

} // namespace

TEST(IfJxl, PluginInfoNamesVersionAndPairs)
{
    const std::uint32_t v = JxlDecoderVersion();
    EXPECT_TRUE(PluginText(Plugin(), 1).contains(
        QString("libjxl %1.%2.%3").arg(v / 1000000).arg(v / 1000 % 1000).arg(v % 1000)));
    // Small buffers: the one helper of SpiKit.h, tested with ifheif.spi.
    const char* const texts[] = {"00IN", nullptr, "*.jxl", "JPEG XL 画像", ""};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(PluginText(Plugin(), i), texts[i] ? texts[i] : PluginText(Plugin(), i)) << i;
}

TEST(IfJxl, SupportBySignatureNotByName)
{
    REQUIRE_TOOLS({"cjxl", "libjxl-tools"});
    TempTree tree;
    const QImage q = Quadrants(32, 32);
    const QByteArray codestream = Cjxl(tree, q), container = Cjxl(tree, q, {"-d", "1", "--container=1"});
    ASSERT_EQ(codestream.left(2), QByteArray("\xFF\x0A", 2));
    ASSERT_EQ(container.left(12), QByteArray::fromHex("0000000c4a584c200d0a870a"));
    const struct { const char* name; QByteArray head; int expected; } rows[] = {
        {"photo.jpg", codestream, 1}, {"box.png", container, 1}, {"fake.jxl", Encode(q, "png"), 0},
        {"empty.jxl", {}, 0}, {"ff.jxl", "\xFF\x0B", 0}, {"text.jxl", "JXL picture", 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Supported(Plugin(), tree.WriteFile(r.name, r.head)), r.expected) << r.name;
    EXPECT_EQ(DecodeMemory(Plugin(), rows[2].head).rc, 2);
}

// The stored orientation is the codec library's, tested with the built-in
// loader (tests/imaging/FormatTest.cpp); here the DIB the plug-in builds.
TEST(IfJxl, DecodesCodestreamAndContainer)
{
    REQUIRE_TOOLS({"cjxl", "libjxl-tools"});
    TempTree tree;
    const QImage wide = Quadrants(64, 32);
    const struct { const char* what; QByteArray bytes; QImage expected; int tolerance; } rows[] = {
        {"lossy", Cjxl(tree, Quadrants(64, 64)), Quadrants(64, 64), 30},
        {"lossless, odd width", Cjxl(tree, Quadrants(30, 20), {"-d", "0"}), Quadrants(30, 20), 0}, // rows padded
        {"container", Cjxl(tree, wide, {"-d", "1", "--container=1"}), wide, 30},
        {"turned", JxlEncode(wide, {JXL_ORIENT_ROTATE_90_CW}), wide.transformed(QTransform().rotate(90)), 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(Supported(Plugin(), tree.WriteFile("p", r.bytes)), 1);
        ExpectDecodes(Plugin(), r.bytes, r.expected, r.tolerance);
    }
}

TEST(IfJxl, DamagedMissingAndOversizedInputGiveErrorCodes)
{
    REQUIRE_TOOLS({"cjxl", "libjxl-tools"});
    TempTree tree;
    // Noise, so that most of the file is picture data.
    QImage noise(64, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            noise.setPixel(x, y, qRgb((x * 37 + y * 11) % 256, (x * y * 7) % 256, (x * 5 + y * 53) % 256));
    const QByteArray bytes = Cjxl(tree, noise, {"-d", "0"});
    ASSERT_GT(bytes.size(), 1000);
    QByteArray scrambled = bytes;
    for (qsizetype at = 20; at < scrambled.size(); ++at)
        scrambled[at] = char(scrambled[at] ^ 0x5A);
    // HugeJxl: 100000 x 100000 at 3 bytes a pixel, refused before decoding.
    ExpectRefused(Plugin(), {bytes.left(bytes.size() / 2), bytes.left(12), bytes.left(bytes.size() - 4), scrambled},
                  HugeJxl());
}
