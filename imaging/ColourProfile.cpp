#include "imaging/ColourProfile.h"

#include "imaging/DecodeLog.h"

#include <QMutex>
#include <QMutexLocker>

#include <list>
#include <memory>
#include <utility>
#include <vector>

#include <lcms2.h>

namespace {

// A transform from one profile to sRGB. Pictures from one camera or one
// scanner share a profile, so the last few transforms are kept.
struct Transform {
    QByteArray icc;
    bool alpha = false; // alpha copied (pictures with transparency)
    bool grey = false;
    cmsHTRANSFORM handle = nullptr;

    Transform() = default;
    Transform(const Transform&) = delete;
    Transform& operator=(const Transform&) = delete;
    ~Transform()
    {
        if (handle)
            cmsDeleteTransform(handle);
    }
};
using TransformPtr = std::shared_ptr<const Transform>;

class TransformCache {
public:
    // The transform for icc, made when first asked for; null when LittleCMS
    // cannot read the profile or it is not an RGB or grey profile. A profile
    // that gives none is kept too, so that it is tried and told once.
    TransformPtr Find(const QByteArray& icc, bool alpha)
    {
        QMutexLocker lock(&mMutex);
        for (auto it = mTransforms.begin(); it != mTransforms.end(); ++it) {
            if ((*it)->alpha == alpha && (*it)->icc == icc) {
                mTransforms.splice(mTransforms.begin(), mTransforms, it);
                return mTransforms.front()->handle ? mTransforms.front() : nullptr;
            }
        }
        TransformPtr made = Make(icc, alpha);
        if (!made->handle)
            qCInfo(lcDecode) << "a colour profile cannot be used, the picture keeps its stored colours";
        if (mTransforms.size() >= kKept)
            mTransforms.pop_back();
        mTransforms.push_front(made);
        return made->handle ? made : nullptr;
    }

private:
    static constexpr std::size_t kKept = 8;

    // Without a handle when the profile gives no transform.
    static TransformPtr Make(const QByteArray& icc, bool alpha)
    {
        auto made = std::make_shared<Transform>();
        Transform& t = *made;
        t.icc = icc;
        t.alpha = alpha;
        cmsHPROFILE source = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
        if (!source)
            return made;
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        const cmsColorSpaceSignature data = cmsGetColorSpace(source);
        // Transforms here are shared by the decoding threads: no cache.
        // Opaque pixels keep their alpha byte in place; copying it would take
        // LittleCMS off its fast 8-bit path. Transparency is converted
        // straight (not premultiplied): LittleCMS 2.14 gets 8-bit
        // premultiplied pixels wrong.
        const cmsUInt32Number flags = cmsFLAGS_NOCACHE | (alpha ? cmsFLAGS_COPY_ALPHA : 0);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        const cmsUInt32Number rgb32 = TYPE_BGRA_8;
#else
        const cmsUInt32Number rgb32 = TYPE_ARGB_8;
#endif
        if (data == cmsSigRgbData) {
            t.handle = cmsCreateTransform(source, rgb32, srgb, rgb32, INTENT_PERCEPTUAL, flags);
        } else if (data == cmsSigGrayData) {
            t.grey = true;
            t.handle = cmsCreateTransform(source, TYPE_GRAY_8, srgb, rgb32, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
        }
        cmsCloseProfile(srgb);
        cmsCloseProfile(source);
        return made;
    }

    QMutex mMutex;
    // Most recently used first; a transform in use outlives its eviction.
    std::list<TransformPtr> mTransforms;
};

TransformCache& Cache()
{
    static TransformCache cache;
    return cache;
}

void Apply(QImage& image, const Transform& t)
{
    const int w = image.width();
    if (!t.grey) {
        for (int y = 0; y < image.height(); ++y)
            cmsDoTransform(t.handle, image.constScanLine(y), image.scanLine(y), cmsUInt32Number(w));
        return;
    }
    // A grey profile takes one channel; the decoders give grey pixels as
    // equal red, green and blue. Alpha is kept as it was.
    std::vector<unsigned char> grey(std::size_t(w), 0);
    std::vector<QRgb> alpha(std::size_t(w), 0);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            grey[std::size_t(x)] = static_cast<unsigned char>(qGreen(line[x]));
            alpha[std::size_t(x)] = line[x] & 0xFF000000u;
        }
        cmsDoTransform(t.handle, grey.data(), line, cmsUInt32Number(w));
        for (int x = 0; x < w; ++x)
            line[x] = (line[x] & 0x00FFFFFFu) | alpha[std::size_t(x)];
    }
}

} // namespace

void ConvertToSrgb(QImage& image, const ColourProfile& profile)
{
    if (profile.IsEmpty() || image.isNull())
        return;
    const QByteArray& icc = profile.icc;
    // RGB spaces Qt reads (matrix and curves, as cameras and phones write
    // them) go through Qt's transforms, a few times faster than LittleCMS's.
    const QColorSpace space = icc.isEmpty() ? profile.space
                              : icc.mid(16, 4) == "RGB " ? QColorSpace::fromIccProfile(icc)
                                                         : QColorSpace();
    if (space.isValid()) {
        if (space != QColorSpace(QColorSpace::SRgb))
            image.applyColorTransform(space.transformationToColorSpace(QColorSpace::SRgb));
        image.setColorSpace(QColorSpace::SRgb);
        return;
    }
    if (icc.isEmpty())
        return;
    const QImage::Format format = image.format();
    const bool alpha = image.hasAlphaChannel();
    const TransformPtr t = Cache().Find(icc, alpha);
    if (!t)
        return;
    if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32)
        image = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    Apply(image, *t);
    if (image.format() != format)
        image = image.convertToFormat(format);
    image.setColorSpace(QColorSpace::SRgb);
}
