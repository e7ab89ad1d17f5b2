#pragma once
#include <QThread>
#include <vector>
#include <thread>
#include <functional>
#include <atomic>
// Pictures the benchmarks make for themselves: cut from a real photograph
// when there is one, since noise and smooth fields decode unlike a photo.
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRandomGenerator>
#include <QDir>
#include <QString>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

// Smooth colour fields with fine noise: the stand-in when no photograph is
// installed, and the huge pictures (100 MP, page scans) no photo here covers
// cheaply. With alpha, a soft wave of transparency over it.
inline QImage Photo(int width, int height, int seed, bool alpha = false)
{
    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const int noise = int(random.bounded(24u)) - 12;
            const int a = alpha ? std::clamp(int(160 + 95 * std::sin(fx * 5 - fy * 4)) + noise, 0, 255) : 255;
            row[x] = qRgba(std::clamp(int(128 + 100 * std::sin(fx * 7 + fy * 3 + seed)) + noise, 0, 255),
                           std::clamp(int(120 + 90 * std::cos(fy * 9 - fx * 2 + seed)) + noise, 0, 255),
                           std::clamp(int(60 + 180 * fx * fy) + noise, 0, 255), a);
        }
    }
    return image;
}

// The photograph to cut pictures from: VELMORA_BENCH_PHOTO, else the MATE
// elephants (a 17.9 MP camera picture, Debian's mate-backgrounds), else none.
inline QString PhotoSource()
{
    const QString given = QFile::decodeName(qgetenv("VELMORA_BENCH_PHOTO"));
    if (!given.isEmpty())
        return given;
    const QString elephants = QStringLiteral("/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg");
    return QFileInfo::exists(elephants) ? elephants : QString();
}

// One line for a benchmark's output: what its pictures are made of.
inline QString PicturesLine()
{
    const QString source = PhotoSource();
    return source.isEmpty() ? QStringLiteral("pictures: SYNTHETIC, no photograph found (set VELMORA_BENCH_PHOTO); "
                                             "the figures are on a synthetic picture")
                            : QStringLiteral("pictures: cut from the photograph %1").arg(source);
}

// The photograph scaled to cover width x height with 5% to spare, so that
// every picture can be cut at another place. Kept for the next picture of
// the same size: scaling it is most of the cost.
struct PhotoCache {
    std::mutex lock;
    QImage source, covering;
    bool tried = false;
};

inline PhotoCache& Photos()
{
    static PhotoCache cache;
    return cache;
}

// Lets the photograph go, for a program that goes on to measure its memory.
inline void ForgetPhotos()
{
    const std::lock_guard<std::mutex> hold(Photos().lock);
    Photos().source = QImage();
    Photos().covering = QImage();
}

inline QImage CoveringPhoto(int width, int height)
{
    PhotoCache& cache = Photos();
    const std::lock_guard<std::mutex> hold(cache.lock);
    QImage& source = cache.source;
    QImage& covering = cache.covering;
    bool& tried = cache.tried;
    if (!tried) {
        tried = true;
        const QString path = PhotoSource();
        if (!path.isEmpty() && !source.load(path))
            std::fprintf(stderr, "cannot read the photograph %s\n", qPrintable(path));
        source = source.convertToFormat(QImage::Format_RGB32);
    }
    if (source.isNull())
        return {};
    const double scale = 1.05 * std::max(double(width) / source.width(), double(height) / source.height());
    const QSize size(int(std::ceil(source.width() * scale)), int(std::ceil(source.height() * scale)));
    if (covering.size() != size)
        covering = source.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return covering;
}

// Picture i at width x height from the photograph: each i cut at another
// place and every other one mirrored, so that no two files are the same.
// With alpha, the same soft wave of transparency as Photo's. Without a
// photograph, Photo's synthetic picture, said once on standard error.
inline QImage RealPhoto(int width, int height, int i, bool alpha = false)
{
    const QImage covering = CoveringPhoto(width, height);
    if (covering.isNull()) {
        static std::once_flag said;
        std::call_once(said, [] { std::fprintf(stderr, "%s\n", qPrintable(PicturesLine())); });
        return Photo(width, height, i, alpha);
    }
    const int spareX = covering.width() - width, spareY = covering.height() - height;
    QImage picture = covering.copy((i * 389) % (spareX + 1), (i * 157) % (spareY + 1), width, height);
    if (i % 2)
        picture = picture.mirrored(true, false);
    if (!alpha)
        return picture;
    picture = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const int a = std::clamp(int(160 + 95 * std::sin(fx * 5 - fy * 4)), 0, 255);
            row[x] = qRgba(qRed(row[x]), qGreen(row[x]), qBlue(row[x]), a);
        }
    }
    return picture;
}

// Qt's PNG writer takes quality q as zlib level (100 - q) * 9 / 91: 35 is
// level 6, zlib's own default and what most programs write.
constexpr int kPngQuality = 35;

// JPEG at quality 90 (a camera's), PNG at zlib level 6, by the file's suffix.
inline bool SavePicture(const QImage& picture, const QString& path)
{
    const bool png = path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive);
    return picture.save(path, nullptr, png ? kPngQuality : 90);
}

// The 24 MP pictures of a held-key run: IMG_0000.jpg and on.
inline bool WriteShowPicture(const QString& folder, const char* kind, int i)
{
    return SavePicture(RealPhoto(6000, 4000, i),
                       folder + QStringLiteral("/IMG_%1.%2").arg(i, 4, 10, QChar('0')).arg(QLatin1String(kind)));
}

// Writes count pictures with write(i), one writer a core.
inline bool WriteAll(int count, const std::function<bool(int)>& write)
{
    std::atomic<int> next{0};
    std::atomic<bool> ok{true};
    std::vector<std::thread> writers;
    for (int t = 0; t < std::max(1, QThread::idealThreadCount()); ++t)
        writers.emplace_back([&] {
            for (int i = next++; i < count; i = next++)
                if (!write(i))
                    ok = false;
        });
    for (std::thread& writer : writers)
        writer.join();
    return ok;
}

// A screen at scale 1 (1920 x 1080 unless told) on Qt's offscreen platform, for a
// benchmark's show window; set before the application is made, and kept for
// its life.
class BenchScreen {
public:
    explicit BenchScreen(int width = 1920, int height = 1080)
        : mConfig(QDir::tempPath() + "/velmora-screen-XXXXXX.json")
    {
        mConfig.open();
        mConfig.write(QStringLiteral(R"({"screens":[{"name":"bench","x":0,"y":0,"width":%1,"height":%2,)"
                                     R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})")
                          .arg(width)
                          .arg(height)
                          .toUtf8());
        mConfig.flush();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + mConfig.fileName().toLocal8Bit());
    }

private:
    QTemporaryFile mConfig;
};
