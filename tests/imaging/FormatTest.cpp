// The built-in loader on WebP, TIFF, TGA, HEIC, AVIF and JPEG XL files made
// by the Debian tools (cwebp, convert, heif-enc, cjxl) and, where those cannot
// write what is tested (a stored orientation, AVIF with transparency), by
// libheif's and libjxl's encoders.
#include "imaging/PictureFile.h"

#include "imaging/DecodeService.h"

#include "PictureTestData.h"
#include "codecs/Heif.h"
#include "codecs/Jxl.h"
#include "common/RuntimeError.h"
#include "support/AnimatedPictures.h"
#include "support/EncodedPictures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QColorSpace>
#include <QColorTransform>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <unistd.h>
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include <lcms2.h>
#include <libheif/heif.h>

// The HEVC encoder keeps a few allocations for the life of the process; in
// sanitizer builds that is not this program's leak.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265\n";
}

namespace {

constexpr QRgb R = 0xFF0000, G = 0x00FF00, B = 0x0000FF, W = 0xFFFFFF;

#define REQUIRE_ALL_TOOLS()                                                                  \
    REQUIRE_TOOLS({"cwebp", "webp"}, {"convert", "imagemagick"}, {"heif-enc", "libheif-examples"}, \
                  {"cjxl", "libjxl-tools"})

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A file of one format made from a PNG source.
struct Format {
    const char* name;
    std::function<QByteArray(const TempTree&, const QString& png)> make;
};

QByteArray Webp(const TempTree& tree, const QString& png)
{
    return RunTool("cwebp", {"-quiet", "-q", "95", png, "-o", tree.Path() + "/out.webp"}, tree.Path() + "/out.webp");
}
QByteArray Tiff(const TempTree& tree, const QString& png, const QStringList& options = {})
{
    return RunTool("convert", QStringList{png} + options + QStringList{tree.Path() + "/out.tiff"}, tree.Path() + "/out.tiff");
}
// True colour: of a picture of few colours, convert would make a colour-mapped
// TGA, which Qt does not read. Top-down: convert of Debian 12 writes the rows
// of a bottom-up TGA top row first.
QByteArray Tga(const TempTree& tree, const QString& png, const char* type = "TrueColor")
{
    return RunTool("convert", {png, "-type", type, "-orient", "TopLeft", tree.Path() + "/out.tga"},
               tree.Path() + "/out.tga");
}
// heif-enc of Debian 12 keeps the ICC profile of a JPEG but not of a PNG, and
// on PNG input trips an assertion of the AV1 encoder: AVIF, and HEIC with a
// profile, go through a JPEG (which keeps no transparency).
QByteArray HeifTool(const TempTree& tree, const QString& png, bool avif, bool viaJpeg)
{
    QString source = png;
    if (avif || viaJpeg) {
        source = tree.Path() + "/heif-source.jpg";
        RunTool("convert", {png, "-quality", "97", source}, source);
    }
    const QString out = tree.Path() + (avif ? "/out.avif" : "/out.heic");
    return RunTool("heif-enc", QStringList{avif ? "-A" : "-q", avif ? "-q" : "95"} + (avif ? QStringList{"95"} : QStringList{}) +
                               QStringList{"-o", out, source},
               out);
}
QByteArray HeicTool(const TempTree& tree, const QString& png, bool viaJpeg = false)
{
    return HeifTool(tree, png, false, viaJpeg);
}
QByteArray AvifTool(const TempTree& tree, const QString& png)
{
    return HeifTool(tree, png, true, true);
}
QByteArray JxlTool(const TempTree& tree, const QString& png, const char* distance = "1")
{
    return RunTool("cjxl", {png, tree.Path() + "/out.jxl", "-d", distance, "--quiet"}, tree.Path() + "/out.jxl");
}

// Columns of black and white four pixels wide, reduced eightfold: a reduction
// that picks pixels shows black or white, a smooth one grey. (Narrower ones
// come out of the lossy encoders grey already.)
QImage Stripes(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, ((x + 2) / 4) % 2 ? 0xFFFFFFFF : 0xFF000000);
    return image;
}

const std::vector<Format>& Formats()
{
    static const std::vector<Format> formats = {
        {"WebP", [](const TempTree& t, const QString& p) { return Webp(t, p); }},
        {"TIFF", [](const TempTree& t, const QString& p) { return Tiff(t, p); }},
        {"TGA", [](const TempTree& t, const QString& p) { return Tga(t, p); }},
        {"HEIC", [](const TempTree& t, const QString& p) { return HeicTool(t, p); }},
        {"AVIF", [](const TempTree& t, const QString& p) { return AvifTool(t, p); }},
        {"JPEG XL", [](const TempTree& t, const QString& p) { return JxlTool(t, p); }},
    };
    return formats;
}

// An RGB profile made with LittleCMS: sRGB's curve and white, the given
// primaries.
QByteArray Profile(cmsCIExyY red, cmsCIExyY green, cmsCIExyY blue)
{
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsCIExyYTRIPLE primaries{red, green, blue};
    const cmsFloat64Number srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsSetProfileVersion(profile, 2.1);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray icc(qsizetype(size), '\0');
    cmsSaveProfileToMem(profile, icc.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return icc;
}

// A PNG of image carrying an ICC profile, embedded by ImageMagick.
QString PngWithProfile(const TempTree& tree, const QImage& image, const QByteArray& icc, const QString& name)
{
    const QString plain = tree.WriteFile(name + ".plain.png", Encode(image, "png"));
    const QString profile = tree.WriteFile(name + ".icc", icc);
    const QString out = tree.Path() + "/" + name + ".png";
    RunTool("convert", {plain, "-profile", profile, out}, out);
    return out;
}

QImage Render(const QString& path, QSize size = {})
{
    auto picture = PictureFile::Open(path);
    return picture->Render(size.isValid() ? size : picture->NaturalSize());
}

// Opening and drawing raise an error that says why.
void ExpectRaises(const QString& path, const char* why)
{
    try {
        Render(path);
        ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
}

} // namespace

TEST(Formats, ReadByContentInTheirColoursAndReducedSmoothly)
{
    REQUIRE_ALL_TOOLS();
    for (const Format& f : Formats()) try {
        SCOPED_TRACE(f.name);
        TempTree tree;
        const QByteArray quadrants = f.make(tree, tree.WriteFile("q.png", Encode(Quadrants(64, 48), "png")));
        // The name says nothing: the content decides.
        auto picture = PictureFile::Open(tree.WriteFile("picture.bmp", quadrants));
        ASSERT_EQ(picture->NaturalSize(), QSize(64, 48));
        for (const QSize size : {QSize(64, 48), QSize(150, 50)}) {
            const QImage image = picture->Render(size);
            ASSERT_EQ(image.size(), size);
            EXPECT_EQ(qAlpha(image.pixel(size.width() / 2, size.height() / 2)), 255);
            ExpectQuadrants(image, R, G, B, W, 24);
        }
        const QByteArray stripes = f.make(tree, tree.WriteFile("s.png", Encode(Stripes(256, 64), "png")));
        const QImage reduced = Render(tree.WriteFile("stripes", stripes), QSize(32, 16));
        ASSERT_EQ(reduced.size(), QSize(32, 16));
        for (int x = 1; x < 31; x += 3)
            EXPECT_TRUE(Near(reduced.pixel(x, 8), 0x808080, 48)) << x << ": " << std::hex << reduced.pixel(x, 8);
    } catch (const RuntimeError& e) {
        ADD_FAILURE() << f.name << ": " << e.what();
    }
}

TEST(Formats, StoredOrientationIsShownUpright)
{
    REQUIRE_TOOLS({"convert", "imagemagick"});
    TempTree tree;
    const QImage wide = Quadrants(64, 32);
    const QString png = tree.WriteFile("wide.png", Encode(wide, "png"));
    // Each turned a quarter clockwise (EXIF orientation 6) or mirrored (2).
    const QImage turned = wide.transformed(QTransform().rotate(90)), mirrored = wide.mirrored(true, false);
    const struct {
        const char* what;
        QByteArray file;
        QImage upright;
    } cases[] = {
        {"TIFF turned", Tiff(tree, png, {"-orient", "RightTop"}), turned},
        {"HEIC turned", HeifEncode(wide, {heif_compression_HEVC, heif_orientation_rotate_90_cw}), turned},
        {"HEIC mirrored", HeifEncode(wide, {heif_compression_HEVC, heif_orientation_flip_horizontally}), mirrored},
        {"AVIF turned", HeifEncode(wide, {heif_compression_AV1, heif_orientation_rotate_90_cw}), turned},
        {"JPEG XL turned", JxlEncode(wide, {JXL_ORIENT_ROTATE_90_CW}), turned},
        {"JPEG XL mirrored", JxlEncode(wide, {JXL_ORIENT_FLIP_HORIZONTAL}), mirrored},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto picture = PictureFile::Open(tree.WriteFile("o", c.file));
        ASSERT_EQ(picture->NaturalSize(), c.upright.size());
        const QImage upright = c.upright;
        const auto at = [&](int x, int y) { return upright.pixel(x * upright.width() / 4, y * upright.height() / 4) & 0xFFFFFF; };
        ExpectQuadrants(picture->Render(c.upright.size()), at(1, 1), at(3, 1), at(1, 3), at(3, 3), 30);
        ExpectQuadrants(picture->Render(c.upright.size() / 2), at(1, 1), at(3, 1), at(1, 3), at(3, 3), 40);
    }
}

TEST(Formats, TransparencyIsKept)
{
    REQUIRE_ALL_TOOLS();
    // Left half opaque green, right half clear; the top rows half-transparent green.
    QImage source(64, 32, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    for (int y = 0; y < 32; ++y)
        std::fill_n(reinterpret_cast<QRgb*>(source.scanLine(y)), y < 8 ? 64 : 32, y < 8 ? 0x8000FF00 : 0xFF00FF00);
    TempTree tree;
    const QString png = tree.WriteFile("alpha.png", Encode(source, "png"));
    const std::pair<const char*, QByteArray> cases[] = {
        {"WebP", Webp(tree, png)}, {"TIFF", Tiff(tree, png)},
        {"TGA", Tga(tree, png, "TrueColorAlpha")}, {"HEIC", HeicTool(tree, png)},
        {"AVIF", HeifEncode(source, {heif_compression_AV1})}, {"JPEG XL", JxlTool(tree, png)},
    };
    for (const auto& [what, file] : cases) try {
        SCOPED_TRACE(what);
        for (const QSize size : {QSize(64, 32), QSize(32, 16)}) {
            const QImage image = Render(tree.WriteFile("a", file), size);
            ASSERT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);
            const QRgb opaque = image.pixel(size.width() / 4, size.height() / 2);
            EXPECT_TRUE(Near(opaque, G, 16) && qAlpha(opaque) > 245) << std::hex << opaque;
            EXPECT_LT(qAlpha(image.pixel(3 * size.width() / 4, size.height() / 2)), 10);
            // Premultiplied: no colour above its alpha.
            const QRgb half = image.pixel(size.width() / 2, size.height() / 16);
            EXPECT_NEAR(qAlpha(half), 128, 24) << std::hex << half;
            EXPECT_LE(qGreen(half), qAlpha(half) + 4) << std::hex << half;
        }
    } catch (const RuntimeError& e) {
        ADD_FAILURE() << what << ": " << e.what();
    }
}

TEST(Formats, HeifAndJpegXlDecodesEndWhenTheirJobIsStopped)
{
    TempTree tree;
    const std::pair<const char*, QByteArray> cases[] = {
        {"HEIC", HeifEncode(Quadrants(64, 48), {heif_compression_HEVC})},
        {"JPEG XL", JxlEncode(Quadrants(64, 48), {JXL_ORIENT_IDENTITY})},
    };
    for (const auto& [what, file] : cases) {
        SCOPED_TRACE(what);
        const auto picture = PictureFile::Open(tree.WriteFile("s", file));
        std::atomic<bool> started{false}, stopped{false};
        std::string why;
        // The job is stopped while it runs, before it decodes.
        DecodeService::Job job = DecodeService::Instance()->Submit([&] {
            started = true;
            while (!stopped)
                std::this_thread::yield();
            try {
                picture->Render(QSize(64, 48));
            } catch (const RuntimeError& e) {
                why = e.what();
            }
        });
        ASSERT_TRUE(WaitFor([&] { return started.load(); }, 60000));
        job.Stop();
        stopped = true;
        ASSERT_TRUE(job.WaitDone(60000));
        EXPECT_NE(why.find("stopped"), std::string::npos) << why;
    }
}

TEST(Formats, ColourProfilesAreShownInSrgb)
{
    REQUIRE_TOOLS({"convert", "imagemagick"}, {"heif-enc", "libheif-examples"}, {"cjxl", "libjxl-tools"});
    TempTree tree;
    // A profile whose red is sRGB's blue and whose blue is sRGB's red: stored
    // red shows blue, stored blue red; green and white stay.
    const QByteArray swapped = Profile({0.15, 0.06, 1}, {0.30, 0.60, 1}, {0.64, 0.33, 1});
    const QString png = PngWithProfile(tree, Quadrants(64, 48), swapped, "swapped");
    ExpectQuadrants(Render(png), B, G, R, W, 4); // the source itself, through the PNG reader
    const QString jpeg = tree.Path() + "/swapped.jpg";
    const std::pair<const char*, QByteArray> swaps[] = {
        {"JPEG", RunTool("convert", {png, "-quality", "97", jpeg}, jpeg)},
        {"HEIC", HeicTool(tree, png, true)},
        {"AVIF", AvifTool(tree, png)},
        {"JPEG XL lossless", JxlTool(tree, png, "0")},
        {"JPEG XL", JxlTool(tree, png)},
    };
    for (const auto& [what, file] : swaps) {
        SCOPED_TRACE(what);
        ExpectQuadrants(Render(tree.WriteFile("swapped", file)), B, G, R, W, 30);
        ExpectQuadrants(Render(tree.WriteFile("swapped", file), QSize(32, 24)), B, G, R, W, 30);
    }

    // Display P3 (0.8, 0.2, 0.2) in sRGB is a purer red than its stored value.
    QImage p3(64, 48, QImage::Format_RGB32);
    p3.fill(qRgb(204, 51, 51));
    const QRgb want = QColorSpace(QColorSpace::DisplayP3).transformationToColorSpace(QColorSpace::SRgb).map(p3.pixel(0, 0));
    ASSERT_FALSE(Near(want, p3.pixel(0, 0), 12)) << std::hex << want;
    const QByteArray p3icc = Profile({0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1});
    const std::pair<const char*, QByteArray> p3s[] = {
        // heif-enc of Debian 12 ignores its primaries option: libheif's encoder.
        {"HEIC nclx", HeifEncode(p3, {heif_compression_HEVC, heif_orientation_normal, heif_color_primaries_SMPTE_EG_432_1})},
        {"AVIF nclx", HeifEncode(p3, {heif_compression_AV1, heif_orientation_normal, heif_color_primaries_SMPTE_EG_432_1})},
        {"HEIC ICC", HeicTool(tree, PngWithProfile(tree, p3, p3icc, "p3icc"), true)},
        {"JPEG XL", JxlTool(tree, PngWithProfile(tree, p3, p3icc, "p3icc"))},
        {"JPEG XL lossless", JxlTool(tree, PngWithProfile(tree, p3, p3icc, "p3icc"), "0")},
    };
    for (const auto& [what, file] : p3s) {
        SCOPED_TRACE(what);
        const QRgb shown = Render(tree.WriteFile("p3", file), QSize(16, 12)).pixel(8, 6);
        EXPECT_TRUE(Near(shown, want, 8)) << std::hex << shown << " for " << want;
    }
}

// Every format, from bytes in memory, opens, sizes and draws exactly as the
// same bytes from a file: whole, reduced (the quick PNG path, libjpeg's
// scaled decode) and enlarged, upright and in sRGB. The name only names it.
TEST(Formats, PicturesInMemoryShowAsFromFiles)
{
    REQUIRE_ALL_TOOLS();
    TempTree tree;
    const QImage quadrants = Quadrants(64, 48);
    const QString png = tree.WriteFile("q.png", Encode(quadrants, "png"));
    const QString swapped = PngWithProfile(tree, quadrants, Profile({0.15, 0.06, 1}, {0.30, 0.60, 1}, {0.64, 0.33, 1}), "swapped");
    const QString jpeg = tree.Path() + "/out.jpg", gif = tree.Path() + "/out.gif";
    std::vector<std::pair<std::string, QByteArray>> pictures = {
        {"BMP", Encode(quadrants, "bmp")},
        {"ICO", Encode(quadrants.scaled(32, 24), "ico")},
        {"PNG with a profile", ReadAll(swapped)},
        {"JPEG with a profile, turned", RunTool("convert", {swapped, "-orient", "RightTop", "-quality", "95", jpeg}, jpeg)},
        {"GIF", RunTool("convert", {png, gif}, gif)},
        {"HEIC turned", HeifEncode(quadrants, {heif_compression_HEVC, heif_orientation_rotate_90_cw})},
    };
    for (const Format& f : Formats())
        pictures.emplace_back(f.name, f.make(tree, png));
    for (const auto& [what, bytes] : pictures) try {
        SCOPED_TRACE(what);
        ASSERT_FALSE(bytes.isEmpty());
        const auto fromFile = PictureFile::Open(tree.WriteFile("file", bytes));
        const auto fromMemory = PictureFile::Open("album.zip/" + QString::fromStdString(what), bytes);
        const QSize natural = fromFile->NaturalSize();
        ASSERT_EQ(fromMemory->NaturalSize(), natural);
        for (const QSize size : {natural, natural / 2, natural * 3 / 2}) {
            const QImage shown = fromMemory->Render(size);
            EXPECT_EQ(shown, fromFile->Render(size)) << size.width() << "x" << size.height();
            EXPECT_EQ(shown, fromMemory->Render(size)) << "drawn again";
        }
    } catch (const RuntimeError& e) {
        ADD_FAILURE() << what << ": " << e.what();
    }
    // Damaged or empty bytes raise the loader's one error, under their name.
    for (const QByteArray& bad : {ReadAll(png).left(60), QByteArray(), QByteArray("no picture at all")}) {
        try {
            PictureFile::Open("album.zip/bad.png", bad)->Render(QSize(8, 8));
            ADD_FAILURE() << "no error for " << bad.size() << " bytes";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::TypeMismatch);
            EXPECT_EQ(std::string(e.what()).rfind("cannot read album.zip/bad.png as a picture: ", 0), 0u) << e.what();
        }
    }
}

TEST(Formats, GreyPicturesShowGrey)
{
    REQUIRE_TOOLS({"heif-enc", "libheif-examples"}, {"cjxl", "libjxl-tools"});
    // Left half dark grey, right half light grey, stored with one channel.
    QImage grey(64, 32, QImage::Format_Grayscale8);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            grey.setPixel(x, y, x < 32 ? qRgb(60, 60, 60) : qRgb(200, 200, 200));
    TempTree tree;
    const QString png = tree.WriteFile("grey.png", Encode(grey, "png"));
    const std::pair<const char*, QByteArray> cases[] = {
        {"HEIC", HeicTool(tree, png)}, {"JPEG XL", JxlTool(tree, png)}, {"JPEG XL lossless", JxlTool(tree, png, "0")},
    };
    for (const auto& [what, file] : cases) {
        SCOPED_TRACE(what);
        const QImage image = Render(tree.WriteFile("grey", file));
        EXPECT_TRUE(Near(image.pixel(16, 16), qRgb(60, 60, 60), 6)) << std::hex << image.pixel(16, 16);
        EXPECT_TRUE(Near(image.pixel(48, 16), qRgb(200, 200, 200), 6)) << std::hex << image.pixel(48, 16);
    }
}

TEST(Formats, DamagedCutShortAndHugeFilesRaise)
{
    REQUIRE_ALL_TOOLS();
    TempTree tree;
    const QString png = tree.WriteFile("q.png", Encode(Quadrants(64, 64), "png"));
    for (const Format& f : Formats()) {
        SCOPED_TRACE(f.name);
        const QByteArray file = f.make(tree, png);
        ASSERT_GT(file.size(), 100);
        QByteArray scrambled = file;
        for (qsizetype at = 20; at < scrambled.size(); ++at)
            scrambled[at] = char(scrambled[at] ^ 0x5A);
        // Uncompressed TGA has nothing to tell scrambled pixels from others.
        const bool checked = std::string(f.name) != "TGA";
        for (const QByteArray& bad : {file.left(file.size() / 2), file.left(40), checked ? scrambled : file.left(20)})
            ExpectRaises(tree.WriteFile("bad", bad), "cannot read");
    }
    // 30000 x 20000 declared in a small HEIC: refused before any decoding.
    QByteArray heic = HeicTool(tree, png);
    const qsizetype ispe = heic.indexOf("ispe");
    ASSERT_GT(ispe, 0);
    heic.replace(ispe + 8, 8, QByteArray::fromHex("0000753000004e20"));
    ExpectRaises(tree.WriteFile("huge.heic", heic), "too large");
    ExpectRaises(tree.WriteFile("huge.jxl", HugeJxl()), "too large");
    // The codec library keeps to the limit it is given, also for callers
    // that do not check the declared size first.
    codec::DecodeOptions options;
    options.maxBytes = 64 * 48 * 4 - 1;
    for (const QByteArray& bytes : {HeifEncode(Quadrants(64, 48)), JxlEncode(Quadrants(64, 48))}) {
        const auto open = bytes.startsWith("\xFF\x0A") ? codec::OpenJxl : codec::OpenHeif;
        codec::Result<codec::Picture> picture = open(codec::Source::Memory(bytes.constData(), std::size_t(bytes.size())), options);
        ASSERT_TRUE(picture);
        const codec::Result<codec::Pixels> pixels = picture->Decode(4);
        EXPECT_TRUE(!pixels && pixels.error().kind == codec::ErrorKind::TooLarge);
    }
    // 4 GiB of nothing behind a HEIF and a JPEG XL head: no read of the whole
    // file into memory, no allocation of its size.
    for (const QByteArray& head : {heic.left(32), QByteArray("\xFF\x0A", 2)}) {
        const QString path = tree.WriteFile("sparse-" + QString::number(head.size()), head);
        ASSERT_EQ(truncate(path.toUtf8().constData(), off_t(4) << 30), 0);
        ExpectRaises(path, "cannot read");
    }
}

// Animated GIF, WebP and JPEG XL give their frames one at a time, scaled,
// from the first again after the last, with the delays browsers play; a
// still picture has none, and a damaged animation raises instead of crashing.
// A WebP's frames are its pictures, loop after loop: frames that cover the
// canvas decode on their own (the next one while this one is shown),
// straight at the size shown; frames that change a part are composed on
// the canvas. Files of many pages, whose pages are given back as frames go.
TEST(Formats, WebpFramesAreTheirPicturesLoopAfterLoop)
{
    REQUIRE_TOOLS({"img2webp", "webp"});
    TempTree tree;
    const auto noise = [](QImage image, std::uint32_t seed, QRect where) {
        for (int y = where.top(); y <= where.bottom(); ++y)
            for (int x = where.left(); x <= where.right(); ++x)
                image.setPixel(x, y, (seed = seed * 1664525u + 1013904223u) >> 8);
        return image;
    };
    // Smooth pictures, each of other colours, which any two good scalers reduce alike.
    const auto gradient = [](int i) {
        QImage image(256, 128, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgb(x, (y * 2 + i * 90) % 256, 255 - x / (i + 1)));
        return image;
    };
    const QImage black(256, 256, QImage::Format_RGB32);
    std::vector<QImage> whole, parts, smooth;
    for (std::uint32_t i = 0; i < 4; ++i) {
        whole.push_back(noise(black, 99 + i, black.rect()));
        parts.push_back(i == 0 ? noise(black, 7, black.rect()) : noise(parts[0], 7 + i, QRect(64, 64, 128, 96)));
        smooth.push_back(gradient(int(i)));
    }
    const auto write = [&](const QString& name, const std::vector<QImage>& pictures) {
        QStringList args{"-loop", "0", "-lossless"};
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            const QString png = tree.Path() + QStringLiteral("/%1-%2.png").arg(name).arg(i);
            EXPECT_TRUE(pictures[i].save(png));
            args << "-d" << "50" << png;
        }
        RunTool(tree.Path(), "img2webp", args << "-o" << tree.Path() + "/" + name);
        return tree.Path() + "/" + name;
    };
    for (const auto& [name, pictures] : {std::pair{"whole.webp", whole}, std::pair{"parts.webp", parts}}) {
        SCOPED_TRACE(name);
        const QString path = write(name, pictures);
        ASSERT_GT(QFileInfo(path).size(), 4 * 4096 * 8);
        std::unique_ptr<PictureFrames> frames = PictureFile::Open(path)->Frames(QSize(256, 256));
        ASSERT_TRUE(frames);
        for (int loop = 0; loop < 3; ++loop)
            for (int i = 0; i < 4; ++i) {
                const PictureFrames::Frame frame = frames->Next();
                EXPECT_EQ(frame.index, i);
                EXPECT_EQ(frame.delayMs, 50);
                EXPECT_EQ(frame.image.convertToFormat(QImage::Format_RGB32), pictures[std::size_t(i)])
                    << "loop " << loop + 1 << ", frame " << i;
            }
    }
    // Reduced: every pixel near Qt's smooth scaling of the picture.
    std::unique_ptr<PictureFrames> frames = PictureFile::Open(write("smooth.webp", smooth))->Frames(QSize(100, 50));
    ASSERT_TRUE(frames);
    for (int i = 0; i < 5; ++i) {
        const QImage frame = frames->Next().image;
        ASSERT_EQ(frame.size(), QSize(100, 50));
        const QImage want =
            smooth[std::size_t(i % 4)].scaled(100, 50, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        int far = 0;
        for (int y = 0; y < 50; ++y)
            for (int x = 0; x < 100; ++x)
                far += !Near(frame.pixel(x, y), want.pixel(x, y), 6);
        EXPECT_EQ(far, 0) << "frame " << i << ", e.g. " << std::hex << frame.pixel(50, 25) << " for "
                          << want.pixel(50, 25);
    }
}

TEST(Formats, AnimationsGiveTheirFramesOneAtATime)
{
    REQUIRE_TOOLS({"convert", "imagemagick"}, {"img2webp", "webp"}, {"cjxl", "libjxl-tools"},
                  {"avifenc", "libavif-bin"});
    TempTree tree;
    const std::vector<QColor> colours{Qt::red, Qt::green, Qt::blue};
    MakeAnimation(tree.Path(), "a.gif", Animated::Gif, colours, 0);
    MakeAnimation(tree.Path(), "b.webp", Animated::WebP, colours, 200);
    MakeAnimation(tree.Path(), "c.jxl", Animated::Jxl, colours, 300);
    MakeAnimation(tree.Path(), "still.gif", Animated::Gif, {Qt::red}, 500);
    MakeAnimation(tree.Path(), "still.jxl", Animated::Jxl, {Qt::red}, 500);
    MakeAnimation(tree.Path(), "e.avif", Animated::Avif, colours, 250);
    MakeAnimation(tree.Path(), "still.avif", Animated::Avif, {Qt::red}, 500);
    for (const auto& [name, delay, inMemory] :
         {std::tuple{"a.gif", 100, false}, std::tuple{"b.webp", 200, false}, std::tuple{"c.jxl", 300, false},
          std::tuple{"e.avif", 250, false}, std::tuple{"a.gif", 100, true}, std::tuple{"b.webp", 200, true},
          std::tuple{"c.jxl", 300, true}, std::tuple{"e.avif", 250, true}}) {
        SCOPED_TRACE(std::string(name) + (inMemory ? " in memory" : ""));
        QFile file(tree.Path() + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const std::unique_ptr<PictureFile> picture =
            inMemory ? PictureFile::Open(QString("album.zip/") + name, file.readAll())
                     : PictureFile::Open(tree.Path() + "/" + name);
        std::unique_ptr<PictureFrames> frames = picture->Frames(QSize(32, 24));
        ASSERT_TRUE(frames);
        EXPECT_EQ(frames->Plays(), 0) << "loops without end";
        for (int i = 0; i < 7; ++i) {
            const PictureFrames::Frame frame = frames->Next();
            EXPECT_EQ(frame.index, i % 3);
            EXPECT_EQ(frame.delayMs, delay) << "0 ms plays at 100 ms";
            ASSERT_EQ(frame.image.size(), QSize(32, 24));
            EXPECT_TRUE(Near(frame.image.pixel(16, 12), colours[std::size_t(i % 3)].rgb(), 8))
                << i << ": " << std::hex << frame.image.pixel(16, 12);
        }
    }
    EXPECT_FALSE(PictureFile::Open(tree.Path() + "/still.gif")->Frames(QSize(32, 24)));

    // An APNG: frames composed on the canvas where they lie; a plain PNG has none.
    tree.WriteFile("d.png", HandMadeApng(QSize(64, 48),
                                         {{Qt::red, QRect(0, 0, 64, 48)},
                                          {Qt::green, QRect(0, 0, 64, 48)},
                                          {Qt::blue, QRect(32, 24, 32, 24)}},
                                         250));
    const std::unique_ptr<PictureFile> apng = PictureFile::Open(tree.Path() + "/d.png");
    EXPECT_EQ(apng->NaturalSize(), QSize(64, 48));
    EXPECT_TRUE(Near(apng->Render(QSize(64, 48)).pixel(40, 30), QColor(Qt::red).rgb(), 4)) << "the first frame as a still";
    std::unique_ptr<PictureFrames> frames = apng->Frames(QSize(64, 48));
    ASSERT_TRUE(frames);
    const QRgb want[][2] = {{0xFF0000, 0xFF0000}, {0x00FF00, 0x00FF00}, {0x00FF00, 0x0000FF}, {0xFF0000, 0xFF0000}};
    for (int i = 0; i < 4; ++i) {
        const PictureFrames::Frame frame = frames->Next();
        EXPECT_EQ(frame.index, i % 3);
        EXPECT_EQ(frame.delayMs, 250);
        EXPECT_TRUE(Near(frame.image.pixel(4, 4), want[i][0], 4)) << i << std::hex << " " << frame.image.pixel(4, 4);
        EXPECT_TRUE(Near(frame.image.pixel(40, 30), want[i][1], 4)) << i << std::hex << " " << frame.image.pixel(40, 30);
    }
    {
        QFile file(tree.Path() + "/d.png");
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        std::unique_ptr<PictureFrames> inMemory =
            PictureFile::Open("album.zip/d.png", file.readAll())->Frames(QSize(64, 48));
        ASSERT_TRUE(inMemory);
        inMemory->Next();
        inMemory->Next();
        EXPECT_TRUE(Near(inMemory->Next().image.pixel(40, 30), 0x0000FF, 4)) << "read from memory";
    }
    tree.WriteFile("still.png", Encode(QImage(8, 8, QImage::Format_RGB32), "png", 0));
    EXPECT_FALSE(PictureFile::Open(tree.Path() + "/still.png")->Frames(QSize(8, 8)));
    EXPECT_FALSE(PictureFile::Open(tree.Path() + "/still.jxl")->Frames(QSize(32, 24)));
    EXPECT_FALSE(PictureFile::Open(tree.Path() + "/still.avif")->Frames(QSize(32, 24)));

    // Cut short: what is there plays, or it is refused; never a frame of
    // another size, never a crash.
    for (const char* name : {"a.gif", "b.webp", "c.jxl", "d.png", "e.avif"}) {
        QFile whole(tree.Path() + "/" + name);
        ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
        const QByteArray bytes = whole.readAll();
        for (const qsizetype keep : {bytes.size() / 2, bytes.size() - 20}) {
            tree.WriteFile(QStringLiteral("cut-%1").arg(name), bytes.left(keep));
            try {
                std::unique_ptr<PictureFrames> frames =
                    PictureFile::Open(tree.Path() + "/cut-" + name)->Frames(QSize(32, 24));
                for (int i = 0; frames && i < 6; ++i)
                    EXPECT_EQ(frames->Next().image.size(), QSize(32, 24));
            } catch (const RuntimeError&) {
            }
        }
    }
}
