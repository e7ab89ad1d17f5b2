// Pictures with colour profiles are shown in sRGB.
#include "imaging/ColourProfile.h"
#include "imaging/PictureFile.h"

#include "PictureTestData.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QColorSpace>
#include <QColorTransform>

#include <lcms2.h>

namespace {

// The profile's bytes; the profile is closed.
QByteArray Saved(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    QByteArray bytes;
    if (cmsSaveProfileToMem(profile, nullptr, &size)) {
        bytes.resize(qsizetype(size));
        cmsSaveProfileToMem(profile, bytes.data(), &size);
    }
    cmsCloseProfile(profile);
    return bytes;
}

// An ICC profile of an RGB space with the sRGB curve and white, and the
// given red, green and blue primaries.
QByteArray RgbProfile(cmsCIExyY red, cmsCIExyY green, cmsCIExyY blue, double gamma = 0)
{
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsFloat64Number srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = gamma > 0 ? cmsBuildGamma(nullptr, gamma) : cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const cmsCIExyYTRIPLE primaries = {red, green, blue};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return Saved(profile);
}

// The sRGB primaries with red and blue exchanged: stored red is blue light.
QByteArray SwappingProfile()
{
    return RgbProfile({0.15, 0.06, 1}, {0.30, 0.60, 1}, {0.64, 0.33, 1});
}

// A grey profile with a linear curve, which Qt's colour spaces do not read.
QByteArray LinearGreyProfile()
{
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsHPROFILE profile = cmsCreateGrayProfile(&white, linear);
    cmsFreeToneCurve(linear);
    return Saved(profile);
}

// An RGB profile Qt's colour spaces do not read: a lookup table, not
// primaries and curves. It shows stored red as green, green as blue and blue
// as red; a rotation, so that reading the pixels in the wrong byte order does
// not come out right by chance, as a plain red-blue exchange would.
QByteArray RotatingLutProfile()
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);

    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 17, 3, 3, nullptr);
    const auto sample = [](const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) -> cmsInt32Number {
        const cmsUInt16Number shown[3] = {in[2], in[0], in[1]};
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform), shown, out, 1);
        return 1;
    };
    cmsStageSampleCLut16bit(table, sample, toLab, 0);
    cmsDeleteTransform(toLab);
    // A version 4 table needs curves on both sides of the grid.
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 3, 3);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsPipelineInsertStage(lut, cmsAT_END, table);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));

    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigDisplayClass);
    cmsSetColorSpace(profile, cmsSigRgbData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsPipelineFree(lut);
    return Saved(profile);
}

// The profile as JPEG APP2 chunks right after the start marker, split as
// writers split profiles larger than one marker.
QByteArray WithIccMarkers(const QByteArray& jpeg, const QByteArray& icc, qsizetype chunk = 60000)
{
    const int count = int((icc.size() + chunk - 1) / chunk);
    QByteArray markers;
    for (int i = 0; i < count; ++i) {
        const QByteArray part = icc.mid(i * chunk, chunk);
        const int length = 2 + 12 + 2 + int(part.size());
        markers += QByteArray("\xFF\xE2", 2) + char(length >> 8) + char(length & 0xFF);
        markers += QByteArray("ICC_PROFILE\0", 12) + char(i + 1) + char(count) + part;
    }
    return jpeg.left(2) + markers + jpeg.mid(2);
}

QImage Filled(QSize size, QRgb colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(size, format);
    image.fill(colour);
    return image;
}

QRgb Centre(const QString& path)
{
    auto picture = PictureFile::Open(path);
    const QImage shown = picture->Render(QSize(16, 16));
    return shown.pixel(8, 8);
}

TEST(Colour, EmbeddedProfilesTurnStoredColoursIntoScreenColours)
{
    TempTree tree;
    const QByteArray swap = SwappingProfile();
    const QImage red = Filled(QSize(64, 48), qRgb(255, 0, 0));

    // JPEG: the profile in one marker and split over three.
    const QByteArray jpeg = Encode(red, "jpeg", 95);
    EXPECT_TRUE(Near(Centre(tree.WriteFile("swap.jpg", WithIccMarkers(jpeg, swap))), qRgb(0, 0, 255), 12));
    EXPECT_TRUE(Near(Centre(tree.WriteFile("split.jpg", WithIccMarkers(jpeg, swap, 200))), qRgb(0, 0, 255), 12));
    // Markers that do not add up to a profile are ignored.
    QByteArray broken = WithIccMarkers(jpeg, swap, 200);
    broken[2 + 4 + 12 + 1] = 9; // a chunk count the others do not share
    EXPECT_TRUE(Near(Centre(tree.WriteFile("broken.jpg", broken)), qRgb(255, 0, 0), 12));

    // PNG with an iCCP chunk, also with transparency.
    QImage tagged = red;
    tagged.setColorSpace(QColorSpace::fromIccProfile(swap));
    ASSERT_TRUE(tagged.colorSpace().isValid());
    EXPECT_EQ(Centre(tree.WriteFile("swap.png", Encode(tagged, "png"))), qRgb(0, 0, 255));

    // A grey JPEG with a linear-light profile: mid grey is lighter in sRGB.
    const QImage grey = Filled(QSize(64, 48), qRgb(128, 128, 128)).convertToFormat(QImage::Format_Grayscale8);
    const QRgb lighter = Centre(tree.WriteFile("grey.jpg", WithIccMarkers(Encode(grey, "jpeg", 95), LinearGreyProfile())));
    EXPECT_TRUE(Near(lighter, qRgb(188, 188, 188), 4)) << std::hex << lighter;
}

// Profiles Qt cannot read go through LittleCMS, which must be told the
// pixels' byte order: each primary has to land on the channel the profile
// says.
TEST(Colour, TableProfilesMoveEachStoredPrimaryToItsShownChannel)
{
    TempTree tree;
    const QByteArray rotate = RotatingLutProfile();
    ASSERT_FALSE(rotate.isEmpty());
    ASSERT_FALSE(QColorSpace::fromIccProfile(rotate).isValid()) << "the profile must be one only LittleCMS reads";

    const QByteArray jpeg = WithIccMarkers(Encode(Quadrants(64, 48), "jpeg", 95), rotate);
    auto picture = PictureFile::Open(tree.WriteFile("rotate.jpg", jpeg));
    ASSERT_TRUE(picture);
    const QImage shown = picture->Render(QSize(64, 48));
    ASSERT_EQ(shown.size(), QSize(64, 48));
    const struct { QPoint at; QRgb stored, want; } quadrants[] = {
        {{16, 12}, qRgb(255, 0, 0), qRgb(0, 255, 0)},
        {{48, 12}, qRgb(0, 255, 0), qRgb(0, 0, 255)},
        {{16, 36}, qRgb(0, 0, 255), qRgb(255, 0, 0)},
        {{48, 36}, qRgb(255, 255, 255), qRgb(255, 255, 255)},
    };
    for (const auto& q : quadrants) {
        const QRgb got = shown.pixel(q.at);
        EXPECT_TRUE(Near(got, q.want, 12)) << std::hex << "stored " << q.stored << ", shown " << got;
    }
}

TEST(Colour, DisplayP3PhotoIsConvertedAndUntaggedPicturesAreLeftAlone)
{
    TempTree tree;
    // A muted P3 red; in sRGB it has more red and less green and blue than
    // its stored values.
    const QRgb stored = qRgb(204, 51, 51);
    const QColorSpace p3(QColorSpace::DisplayP3);
    const QRgb expected = p3.transformationToColorSpace(QColorSpace::SRgb).map(stored);
    ASSERT_FALSE(Near(expected, stored, 8)) << "the conversion must be visible";

    const QByteArray photo = WithIccMarkers(Encode(Filled(QSize(64, 48), stored), "jpeg", 95), p3.iccProfile());
    EXPECT_TRUE(Near(Centre(tree.WriteFile("p3.jpg", photo)), expected, 6)) << std::hex << Centre(tree.Path() + "/p3.jpg");

    QImage tagged = Filled(QSize(64, 48), stored);
    tagged.setColorSpace(p3);
    EXPECT_TRUE(Near(Centre(tree.WriteFile("p3.png", Encode(tagged, "png"))), expected, 2));
    // Transparency: the colour, not the colour times alpha, is converted.
    QImage translucent = Filled(QSize(64, 48), (stored & 0xFFFFFF) | 0x80000000u, QImage::Format_ARGB32);
    translucent.setColorSpace(p3);
    auto picture = PictureFile::Open(tree.WriteFile("p3-alpha.png", Encode(translucent, "png")));
    const QRgb shown = picture->Render(QSize(16, 16)).pixel(8, 8);
    EXPECT_EQ(qAlpha(shown), 128);
    EXPECT_TRUE(Near(qUnpremultiply(shown) & 0xFFFFFF, expected & 0xFFFFFF, 4)) << std::hex << shown;

    tagged.setColorSpace(QColorSpace());
    EXPECT_EQ(Centre(tree.WriteFile("plain.png", Encode(tagged, "png"))), stored);
    EXPECT_TRUE(Near(Centre(tree.WriteFile("plain.jpg", Encode(tagged, "jpeg", 95))), stored, 6));
}

TEST(Colour, ProfilesThatCannotBeAppliedLeaveThePictureAsStored)
{
    QImage image = Filled(QSize(4, 4), qRgb(10, 200, 30));
    const QImage before = image;
    for (const QByteArray& icc : {QByteArray("not a profile"), QByteArray(128, '\0'), SwappingProfile().left(200)}) {
        ConvertToSrgb(image, ColourProfile{icc, {}});
        EXPECT_EQ(image, before);
    }
    // A CMYK profile describes other data than these pixels.
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(lab, nullptr, &size);
    QByteArray labIcc(qsizetype(size), 0);
    cmsSaveProfileToMem(lab, labIcc.data(), &size);
    cmsCloseProfile(lab);
    ConvertToSrgb(image, ColourProfile{labIcc, {}});
    EXPECT_EQ(image, before);
}

} // namespace
