// Fitting large photos to the screen: the built-in loader (file to fitted
// image) against, in the same run, libjpeg's own scaled decoding plus one
// smooth rescale and against imlib2's load and scaled copy (what feh does).
//
//   bench_fit [runs]                 time the fits (default 5 runs, medians)
//   bench_fit memory FILE W H        render FILE at W x H, print peak memory
//   bench_fit make FILE W H          write a photo-like picture (.jpg / .png)
#include "imaging/PictureFile.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>

// After Qt: Imlib2.h brings in Xlib's macros.
#include <Imlib2.h>
#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Smooth gradients with fine noise: compresses like a photo, not like a
// flat test card.
QImage PhotoLike(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(42);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width, fy = double(y) / height;
            const int noise = int(random.bounded(24u)) - 12;
            const int r = std::clamp(int(128 + 100 * std::sin(fx * 7 + fy * 3)) + noise, 0, 255);
            const int g = std::clamp(int(120 + 90 * std::cos(fy * 9 - fx * 2)) + noise, 0, 255);
            const int b = std::clamp(int(60 + 180 * fx * fy) + noise, 0, 255);
            row[x] = qRgb(r, g, b);
        }
    }
    return image;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeMs(const std::function<void()>& work, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return Median(times);
}

// The picture fitted into 1920 x 1080 less the slide show's margins.
QSize FitFor(QSize natural)
{
    const double scale = std::min(double(1920 - 26) / natural.width(), double(1080 - 33) / natural.height());
    return QSize(int(natural.width() * scale), int(natural.height() * scale));
}

// libjpeg on its own: the smallest DCT scale at or above the fit, then one
// smooth rescale.
QImage LibjpegScaled(const std::string& path, QSize fit)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return {};
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGRX;
    cinfo.scale_denom = 8;
    cinfo.scale_num = 8;
    for (unsigned n = 1; n <= 8; ++n) {
        if ((cinfo.image_width * n + 7) / 8 >= unsigned(fit.width())
            && (cinfo.image_height * n + 7) / 8 >= unsigned(fit.height())) {
            cinfo.scale_num = n;
            break;
        }
    }
    jpeg_start_decompress(&cinfo);
    QImage out(int(cinfo.output_width), int(cinfo.output_height), QImage::Format_RGB32);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.scanLine(int(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    return out.scaled(fit, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void Imlib2Fit(const std::string& path, QSize fit)
{
    Imlib_Image image = imlib_load_image_without_cache(path.c_str());
    if (!image)
        return;
    imlib_context_set_image(image);
    imlib_context_set_anti_alias(1);
    const int w = imlib_image_get_width(), h = imlib_image_get_height();
    Imlib_Image scaled = imlib_create_cropped_scaled_image(0, 0, w, h, fit.width(), fit.height());
    imlib_free_image_and_decache();
    if (scaled) {
        imlib_context_set_image(scaled);
        imlib_free_image_and_decache();
    }
}

QImage VelmoraFit(const QString& path)
{
    const auto picture = PictureFile::Open(path);
    return picture->Render(FitFor(picture->NaturalSize()));
}

long PeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

void Row(const char* what, double ms, const char* reference, double refMs, double target, bool atMost)
{
    const double ratio = ms / refMs;
    std::printf("%-34s %8.1f ms   %-30s %8.1f ms   ratio %5.2f (target %s %.2f) %s\n", what, ms, reference, refMs,
                ratio, atMost ? "<=" : ">=", target, (atMost ? ratio <= target : ratio >= target) ? "ok" : "MISSED");
}

int TimeFits(int runs)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        int w, h;
        const char* ext;
    };
    const Case cases[] = {{"24 MP JPEG", 6000, 4000, "jpg"}, {"12 MP JPEG", 4000, 3000, "jpg"},
                          {"24 MP PNG", 6000, 4000, "png"}};
    for (const Case& c : cases) {
        const QString path = dir.path() + "/photo." + c.ext;
        if (!PhotoLike(c.w, c.h).save(path, nullptr, 90)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        const std::string p = path.toStdString();
        const QSize fit = FitFor(QSize(c.w, c.h));
        VelmoraFit(path); // warm the file cache
        const double velmora = TimeMs([&] { VelmoraFit(path); }, runs);
        double reference;
        const char* referenceName;
        if (std::string(c.ext) == "jpg") {
            reference = TimeMs([&] { LibjpegScaled(p, fit); }, runs);
            referenceName = "libjpeg scaled + smooth";
        } else {
            reference = TimeMs([&] { (void)QImage(path).scaled(fit, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); }, runs);
            std::unique_ptr<PictureFile> opened;
            const double open = TimeMs([&] { opened = PictureFile::Open(path); }, runs);
            const double render = TimeMs([&] { (void)opened->Render(fit); }, runs);
            const double decode = TimeMs([&] { (void)QImage(path); }, runs);
            std::printf("  (velmora open %.1f ms + render %.1f ms; Qt decode alone %.1f ms)\n", open, render, decode);
            referenceName = "full decode + smooth";
        }
        const double imlib = TimeMs([&] { Imlib2Fit(p, fit); }, runs);
        std::printf("%s to %dx%d\n", c.name, fit.width(), fit.height());
        Row("  velmora", velmora, referenceName, reference, 1.2, true);
        Row("  imlib2 / velmora", imlib, "velmora", velmora, 3.0, false);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "make")
        return PhotoLike(args[3].toInt(), args[4].toInt()).save(args[2], nullptr, 90) ? 0 : 1;
    if (args.size() == 5 && args[1] == "memory") {
        const auto picture = PictureFile::Open(args[2]);
        const QImage fitted = picture->Render(QSize(args[3].toInt(), args[4].toInt()));
        std::printf("%ld\n", fitted.isNull() ? -1 : PeakResidentKiB());
        return 0;
    }
    return TimeFits(args.size() > 1 ? std::max(1, args[1].toInt()) : 5);
}
