// ifheif.spi through the bridge, on HEIC and AVIF files made by heif-enc.
#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include "SpiHost.h"
#include "support/TestSupport.h"

// The HEVC encoder keeps a few allocations for the life of the process; in
// sanitizer builds that is not this program's leak.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265\n";
}

namespace {

QByteArray Plugin() { return ShippedPlugin("ifheif.spi"); }

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class IfHeif : public ::testing::Test {
protected:
    void SetUp() override
    {
        mEncoder = QStandardPaths::findExecutable("heif-enc");
        if (mEncoder.isEmpty())
            GTEST_SKIP() << "heif-enc (Debian libheif-examples) is not installed";
    }

    // Encodes image through a JPEG with heif-enc (its PNG path trips an
    // assertion in Debian 12's AV1 encoder); extra: e.g. "-A" for AVIF.
    QString Encode(const QImage& image, const QString& name, const QStringList& extra = {})
    {
        const QString jpeg = mTree.Path() + "/" + name + ".source.jpg";
        EXPECT_TRUE(image.save(jpeg, "JPEG", 95));
        const QString out = mTree.Path() + "/" + name;
        QProcess p;
        p.start(mEncoder, QStringList{"-q", "90"} + extra + QStringList{"-o", out, jpeg});
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        EXPECT_TRUE(QFile::exists(out));
        return out;
    }

    QString Heic(const QString& name = "picture.heic") { return Encode(Quadrants(64, 64), name); }

    TempTree mTree;
    QString mEncoder;
};

void ExpectQuadrants(const QImage& image)
{
    ASSERT_EQ(image.size(), QSize(64, 64));
    EXPECT_TRUE(ColourNear(image, 16, 16, Qt::red));
    EXPECT_TRUE(ColourNear(image, 48, 16, Qt::green));
    EXPECT_TRUE(ColourNear(image, 16, 48, Qt::blue));
    EXPECT_TRUE(ColourNear(image, 48, 48, Qt::white));
}

// heif-enc of Debian 12 writes no rotation (it drops a JPEG's orientation),
// so the oriented pictures are made with libheif's encoder, which writes the
// irot/imir boxes for a given orientation.
QString EncodeOriented(const QImage& source, heif_orientation orientation, const QString& path)
{
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    bool ok = heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code ==
                  heif_error_Ok &&
              heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
                                heif_chroma_interleaved_RGB, &image)
                      .code == heif_error_Ok &&
              heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), 8)
                      .code == heif_error_Ok;
    if (ok) {
        int stride = 0;
        uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < rgb.height(); ++y)
            std::memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);
        heif_encoder_set_lossy_quality(encoder, 90);
        heif_encoding_options* options = heif_encoding_options_alloc();
        options->image_orientation = orientation;
        ok = heif_context_encode_image(ctx, image, encoder, options, nullptr).code ==
                 heif_error_Ok &&
             heif_context_write_to_file(ctx, QFile::encodeName(path).constData()).code ==
                 heif_error_Ok;
        heif_encoding_options_free(options);
    }
    if (image)
        heif_image_release(image);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(ctx);
    EXPECT_TRUE(ok) << "libheif could not write " << path.toStdString();
    return path;
}

// Left half red, right half blue, 64x32.
QImage Halves()
{
    QImage image(64, 32, QImage::Format_RGB32);
    image.fill(Qt::blue);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            image.setPixel(x, y, qRgb(255, 0, 0));
    return image;
}

// Sets the size that the file's ispe box claims.
void ClaimSize(QByteArray& file, quint32 width, quint32 height)
{
    const qsizetype at = file.indexOf("ispe");
    ASSERT_GT(at, 0);
    ASSERT_LE(at + 16, file.size());
    auto put = [&](qsizetype pos, quint32 v) {
        for (int i = 0; i < 4; ++i)
            file[pos + i] = char((v >> (24 - 8 * i)) & 0xFF);
    };
    put(at + 8, width);
    put(at + 12, height);
}

} // namespace

TEST_F(IfHeif, PluginInfoNamesVersionAndPairs)
{
    EXPECT_EQ(PluginText(Plugin(), 0), "00IN");
    EXPECT_TRUE(PluginText(Plugin(), 1).contains(QString("libheif ") + heif_get_version()));
    EXPECT_EQ(PluginText(Plugin(), 2), "*.heic;*.heif");
    EXPECT_EQ(PluginText(Plugin(), 3), "HEIF 画像");
    EXPECT_EQ(PluginText(Plugin(), 4), "*.avif");
    EXPECT_EQ(PluginText(Plugin(), 5), "AVIF 画像");
    EXPECT_EQ(PluginText(Plugin(), 6), "");
    EXPECT_EQ(PluginText(Plugin(), -1), "");
}

TEST_F(IfHeif, PluginInfoRespectsSmallBuffers)
{
    EXPECT_EQ(PluginText(Plugin(), 0, 3), "00");
    EXPECT_EQ(PluginText(Plugin(), 0, 1), "");
    // "HEIF " is 5 bytes, "画" 3 more: a 7-byte buffer holds no part of it.
    EXPECT_EQ(PluginText(Plugin(), 3, 7), "HEIF ");
    EXPECT_EQ(PluginText(Plugin(), 3, 9), "HEIF 画");
    const SpiBridge* b = Bridge();
    ASSERT_TRUE(b);
    char untouched = 'x';
    EXPECT_EQ(b->getPluginInfo(Plugin().constData(), 0, &untouched, 0), 0);
    EXPECT_EQ(untouched, 'x');
}

TEST_F(IfHeif, SupportByBrandsNotByName)
{
    const QString heic = Heic();
    const QString avif = Encode(Quadrants(64, 64), "picture.avif", {"-A"});
    EXPECT_EQ(Supported(Plugin(), heic), 1);
    EXPECT_EQ(Supported(Plugin(), avif), 2);

    // A HEIC named .jpg is still HEIC; a JPEG named .heic is not.
    const QString disguised = mTree.Path() + "/photo.jpg";
    ASSERT_TRUE(QFile::copy(heic, disguised));
    EXPECT_EQ(Supported(Plugin(), disguised), 1);
    const QString jpegNamedHeic = mTree.Path() + "/fake.heic";
    ASSERT_TRUE(Quadrants(16, 16).save(jpegNamedHeic, "JPEG"));
    EXPECT_EQ(Supported(Plugin(), jpegNamedHeic), 0);
    EXPECT_EQ(DecodeFile(Plugin(), jpegNamedHeic).rc, 2);
}

TEST_F(IfHeif, SupportReadsCompatibleBrands)
{
    auto ftyp = [](const char* major, std::initializer_list<const char*> compatible) {
        QByteArray box;
        const quint32 size = 16 + 4 * quint32(compatible.size());
        box.append(char(size >> 24)).append(char(size >> 16)).append(char(size >> 8)).append(char(size));
        box.append("ftyp").append(major, 4).append(QByteArray(4, '\0'));
        for (const char* c : compatible)
            box.append(c, 4);
        return box + QByteArray(64, '\0');
    };
    const struct {
        QByteArray head;
        int expected;
    } cases[] = {
        {ftyp("mif1", {"mif1", "heic"}), 1},
        {ftyp("msf1", {"hevc"}), 1},
        {ftyp("mif1", {"miaf", "avif"}), 2},
        {ftyp("avis", {"msf1"}), 2},
        {ftyp("heix", {"mif1"}), 1},
        {ftyp("mif1", {"miaf"}), 1},  // only the generic image brand
        {ftyp("isom", {"mp41", "avc1"}), 0}, // an MP4 video
        {ftyp("qt  ", {}), 0},
        // The brand list ends with the box: "avif" after it does not count.
        {ftyp("isom", {"mp41"}) .replace(16 + 4, 4, "avif").replace(3, 1, "\x14"), 0},
    };
    int i = 0;
    for (const auto& c : cases) {
        const QString file = mTree.WriteFile(QString("brand%1.bin").arg(i++), c.head);
        EXPECT_EQ(Supported(Plugin(), file), c.expected) << c.head.left(32).toHex().constData();
    }
    EXPECT_EQ(Supported(Plugin(), mTree.WriteFile("empty.heic", {})), 0);
}

TEST_F(IfHeif, DecodesHeicToBottomUpDib)
{
    const QString heic = Heic();
    const Decoded d = DecodeFile(Plugin(), heic);
    ASSERT_EQ(d.rc, 0);
    ExpectQuadrants(d.image);

    // The same bytes from memory, and from an offset inside a bigger file.
    const QByteArray bytes = ReadAll(heic);
    ExpectQuadrants(DecodeMemory(Plugin(), bytes).image);
    const QString wrapped = mTree.WriteFile("wrapped.bin", QByteArray(100, 'x') + bytes);
    const Decoded atOffset = DecodeFile(Plugin(), wrapped, 100);
    ASSERT_EQ(atOffset.rc, 0);
    ExpectQuadrants(atOffset.image);
}

TEST_F(IfHeif, DecodesAvifAndOddWidths)
{
    const Decoded avif = DecodeFile(Plugin(), Encode(Quadrants(64, 64), "p.avif", {"-A"}));
    ASSERT_EQ(avif.rc, 0);
    ExpectQuadrants(avif.image);

    // 3 bytes a pixel: rows of 30 pixels need padding to 92 bytes.
    const Decoded odd = DecodeFile(Plugin(), Encode(Quadrants(30, 20), "odd.heic"));
    ASSERT_EQ(odd.rc, 0);
    ASSERT_EQ(odd.image.size(), QSize(30, 20));
    EXPECT_TRUE(ColourNear(odd.image, 4, 4, Qt::red));
    EXPECT_TRUE(ColourNear(odd.image, 25, 4, Qt::green));
    EXPECT_TRUE(ColourNear(odd.image, 4, 16, Qt::blue));
    EXPECT_TRUE(ColourNear(odd.image, 25, 16, Qt::white));
}

TEST_F(IfHeif, AppliesStoredRotationAndMirroring)
{
    // Shown turned a quarter clockwise: the red left half comes to the top.
    const QString turned =
        EncodeOriented(Halves(), heif_orientation_rotate_90_cw, mTree.Path() + "/turned.heic");
    const Decoded d = DecodeFile(Plugin(), turned);
    ASSERT_EQ(d.rc, 0);
    ASSERT_EQ(d.image.size(), QSize(32, 64));
    EXPECT_TRUE(ColourNear(d.image, 16, 12, Qt::red));
    EXPECT_TRUE(ColourNear(d.image, 16, 52, Qt::blue));

    PictureInfo info{};
    const SpiBridge* b = Bridge();
    const QByteArray name = QFile::encodeName(turned);
    ASSERT_EQ(b->getPictureInfo(Plugin().constData(), name.constData(), 0, 0, &info), 0);
    EXPECT_EQ(info.width, 32);
    EXPECT_EQ(info.height, 64);
    EXPECT_EQ(info.colorDepth, 24);

    const Decoded mirrored = DecodeFile(
        Plugin(),
        EncodeOriented(Halves(), heif_orientation_flip_horizontally, mTree.Path() + "/m.heic"));
    ASSERT_EQ(mirrored.rc, 0);
    ASSERT_EQ(mirrored.image.size(), QSize(64, 32));
    EXPECT_TRUE(ColourNear(mirrored.image, 12, 16, Qt::blue));
    EXPECT_TRUE(ColourNear(mirrored.image, 52, 16, Qt::red));
}

TEST_F(IfHeif, PictureInfoFromFileAndMemory)
{
    const QString heic = Encode(Quadrants(48, 40), "info.heic");
    const SpiBridge* b = Bridge();
    ASSERT_TRUE(b);
    PictureInfo info{};
    const QByteArray name = QFile::encodeName(heic);
    ASSERT_EQ(b->getPictureInfo(Plugin().constData(), name.constData(), 0, 0, &info), 0);
    EXPECT_EQ(info.left, 0);
    EXPECT_EQ(info.top, 0);
    EXPECT_EQ(info.width, 48);
    EXPECT_EQ(info.height, 40);
    const void* text = info.hInfo; // a packed member: copied, not bound
    EXPECT_EQ(text, nullptr);

    const QByteArray bytes = ReadAll(heic);
    PictureInfo fromMemory{};
    ASSERT_EQ(b->getPictureInfo(Plugin().constData(), bytes.constData(), bytes.size(), 1,
                                &fromMemory),
              0);
    EXPECT_EQ(fromMemory.width, 48);
    EXPECT_EQ(fromMemory.height, 40);
}

TEST_F(IfHeif, DamagedInputGivesErrorCodes)
{
    const QByteArray bytes = ReadAll(Heic());
    ASSERT_GT(bytes.size(), 200);

    for (qsizetype keep : {bytes.size() / 2, qsizetype(40), bytes.size() - 10}) {
        const Decoded cut = DecodeMemory(Plugin(), bytes.left(keep));
        EXPECT_EQ(cut.rc, 3) << "kept " << keep << " bytes";
        EXPECT_TRUE(cut.bothNullOnFailure);
        const Decoded cutFile =
            DecodeFile(Plugin(), mTree.WriteFile(QString("cut%1.heic").arg(keep), bytes.left(keep)));
        EXPECT_EQ(cutFile.rc, 3) << "kept " << keep << " bytes";
    }
    EXPECT_EQ(DecodeFile(Plugin(), mTree.Path() + "/missing.heic").rc, 6);
    EXPECT_EQ(DecodeMemory(Plugin(), QByteArray(300, '\0')).rc, 2);
}

TEST_F(IfHeif, RefusesPicturesOverOneGibibyte)
{
    QByteArray bytes = ReadAll(Heic());
    // 30000 x 20000 at 3 bytes a pixel is 1.8 GB: refused before decoding.
    ClaimSize(bytes, 30000, 20000);
    const Decoded huge = DecodeMemory(Plugin(), bytes);
    EXPECT_EQ(huge.rc, 4);
    EXPECT_TRUE(huge.bothNullOnFailure);
}

TEST_F(IfHeif, ProgressCallbackCancels)
{
    const QString heic = Heic();
    static int calls;
    calls = 0;
    auto cancel = [](int, int, std::intptr_t) -> int { return ++calls >= 2; };
    const Decoded d = DecodeFile(Plugin(), heic, 0, cancel);
    EXPECT_EQ(d.rc, 1);
    EXPECT_TRUE(d.bothNullOnFailure);
    EXPECT_EQ(calls, 2);

    calls = 0;
    auto count = [](int num, int denom, std::intptr_t) -> int {
        ++calls;
        return num < 0 || num > denom;
    };
    EXPECT_EQ(DecodeFile(Plugin(), heic, 0, count).rc, 0);
    EXPECT_GE(calls, 2);
}
