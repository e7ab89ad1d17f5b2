// Helper of bench/metafile-compare: draws a metafile with the built-in loader
// and measures how close two pictures are.
//   bench_metafile render IN OUT.png [LONGEST_SIDE]   prints "WIDTH HEIGHT"
//   bench_metafile compare OURS.png REFERENCE.png     prints "PSNR MATCHING%"
//   bench_metafile frame IN.emf OUT.emf               copy whose bounds are its frame
// Pictures are compared on white (the reference's SVG renders transparent
// where nothing is drawn). A pixel matches when no channel differs by more
// than 32 of 255, which forgives anti-aliasing and font hinting but not a
// missing stroke or a glyph in the wrong place.
#include "common/RuntimeError.h"
#include "imaging/PictureFile.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

QImage OnWhite(const QImage& image)
{
    QImage out(image.size(), QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter painter(&out);
    painter.drawImage(0, 0, image);
    return out;
}

int Render(const char* in, const char* out, int longest)
{
    const auto picture = PictureFile::Open(QString::fromLocal8Bit(in));
    QSize size = picture->NaturalSize();
    if (std::max(size.width(), size.height()) > longest)
        size = size.scaled(longest, longest, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    const QImage image = picture->Render(size);
    if (!image.save(QString::fromLocal8Bit(out), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", out);
        return 1;
    }
    std::printf("%d %d\n", size.width(), size.height());
    return 0;
}

int Compare(const char* oursPath, const char* referencePath)
{
    QImage ours(QString::fromLocal8Bit(oursPath)), reference(QString::fromLocal8Bit(referencePath));
    if (ours.isNull() || reference.isNull()) {
        std::fprintf(stderr, "cannot read both pictures\n");
        return 1;
    }
    ours = OnWhite(ours);
    reference = OnWhite(reference);
    if (ours.size() != reference.size()) // rsvg may round a size; compare what both cover
        reference = reference.scaled(ours.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double squares = 0;
    qint64 matching = 0;
    const qint64 pixels = qint64(ours.width()) * ours.height();
    for (int y = 0; y < ours.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(ours.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
        for (int x = 0; x < ours.width(); ++x) {
            const int d[3] = {qRed(a[x]) - qRed(b[x]), qGreen(a[x]) - qGreen(b[x]), qBlue(a[x]) - qBlue(b[x])};
            int worst = 0;
            for (int c : d) {
                squares += double(c) * c;
                worst = std::max(worst, std::abs(c));
            }
            matching += worst <= 32;
        }
    }
    const double mse = squares / (3.0 * double(pixels));
    const double psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
    std::printf("%.2f %.1f\n", std::min(psnr, 99.0), 100.0 * double(matching) / double(pixels));
    return 0;
}

// emf2svg frames its picture by the header's bounds, the loader by its frame;
// the reference gets a copy whose bounds are the frame in device pixels, so
// both draw the same part of the page.
int Frame(const char* in, const char* out)
{
    QFile file(QString::fromLocal8Bit(in));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    QByteArray data = file.readAll();
    if (data.size() < 88)
        return 1;
    auto get = [&](int at) {
        std::int32_t v;
        std::memcpy(&v, data.constData() + at, 4);
        return double(v);
    };
    auto put = [&](int at, double v) {
        const auto i = std::int32_t(std::lround(v));
        std::memcpy(data.data() + at, &i, 4);
    };
    const double devW = get(72), devH = get(76), mmW = get(80), mmH = get(84);
    if (devW > 0 && devH > 0 && mmW > 0 && mmH > 0 && get(32) > get(24) && get(36) > get(28)) {
        put(8, get(24) / 100 * devW / mmW);
        put(12, get(28) / 100 * devH / mmH);
        put(16, get(32) / 100 * devW / mmW);
        put(20, get(36) / 100 * devH / mmH);
    }
    QFile target(QString::fromLocal8Bit(out));
    return target.open(QIODevice::WriteOnly) && target.write(data) == data.size() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    try {
        if (argc >= 4 && std::strcmp(argv[1], "render") == 0)
            return Render(argv[2], argv[3], argc >= 5 ? std::max(16, std::atoi(argv[4])) : 800);
        if (argc == 4 && std::strcmp(argv[1], "compare") == 0)
            return Compare(argv[2], argv[3]);
        if (argc == 4 && std::strcmp(argv[1], "frame") == 0)
            return Frame(argv[2], argv[3]);
    } catch (const RuntimeError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: bench_metafile render IN OUT.png [LONGEST_SIDE] | compare OURS.png REF.png | "
                         "frame IN.emf OUT.emf\n");
    return 2;
}
