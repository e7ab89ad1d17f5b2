// Fitting large photos to the screen: the built-in loader (file to fitted
// image) against, in the same run, libjpeg's own scaled decoding plus one
// smooth rescale and against imlib2's load and scaled copy (what feh does);
// WebP, HEIC, AVIF and JPEG XL through the built-in loader against their
// plug-in path (GetPicture into a DIB, drawn nearest-neighbour as plug-in
// pictures are); a JPEG with an ICC profile against one without.
//
//   bench_fit [runs]                 time the fits (default 5 rounds, medians)
//   bench_fit memory FILE W H        render FILE at W x H, print peak memory
//   bench_fit png FILE [rounds]      a PNG's fit against libdeflate inflating it
//   bench_fit make FILE W H [alpha] [synthetic]
//                                    write a picture cut from the photograph
//                                    (.jpg / .png), or the synthetic one
#include "pluginrunner/LoadPlugin.h"
#include "imaging/DeviceContext.h"
#include "imaging/PictureFile.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>

// After Qt: it brings in Imlib2.h and with it Xlib's macros.
#include "FitPieces.h"
#include "imaging/DecodeService.h"
#include <jpeglib.h>
#include <libdeflate.h>
#include "support/EncodedPictures.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

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

// The floor for any PNG decoder: the file's IDAT chunks, gathered once, then
// inflated with libdeflate alone (what is timed).
class IdatInflate {
public:
    explicit IdatInflate(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto be32 = [&](std::size_t at) {
            return std::uint32_t(std::uint8_t(file[at])) << 24 | std::uint32_t(std::uint8_t(file[at + 1])) << 16 |
                   std::uint32_t(std::uint8_t(file[at + 2])) << 8 | std::uint8_t(file[at + 3]);
        };
        std::size_t raw = 0;
        for (std::size_t at = 8; at + 12 <= file.size();) {
            const std::uint32_t length = be32(at);
            if (length > file.size() - at - 12)
                return;
            const std::string type = file.substr(at + 4, 4);
            if (type == "IHDR" && length >= 13) {
                const std::size_t w = be32(at + 8), h = be32(at + 12);
                const int depth = std::uint8_t(file[at + 16]), colour = std::uint8_t(file[at + 17]);
                const int channels = colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
                raw = ((w * std::size_t(channels) * std::size_t(depth) + 7) / 8 + 1) * h;
            }
            if (type == "IDAT")
                mIdat.append(file, at + 8, length);
            at += std::size_t(length) + 12;
        }
        mOut.resize(raw);
        mDecompressor = libdeflate_alloc_decompressor();
    }
    ~IdatInflate() { libdeflate_free_decompressor(mDecompressor); }
    IdatInflate(const IdatInflate&) = delete;
    IdatInflate& operator=(const IdatInflate&) = delete;

    bool operator()()
    {
        return mDecompressor && !mOut.empty() &&
               libdeflate_zlib_decompress(mDecompressor, mIdat.data(), mIdat.size(), mOut.data(), mOut.size(),
                                          nullptr) == LIBDEFLATE_SUCCESS;
    }

private:
    std::string mIdat;
    std::vector<std::uint8_t> mOut;
    libdeflate_decompressor* mDecompressor = nullptr;
};

long PeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Two contenders of the same rounds and the ratio of their medians.
void Row(const char* what, const Rounds& ours, const char* reference, const Rounds& theirs, double target,
         bool atMost)
{
    const double ratio = ours.Median() / theirs.Median();
    char label[80];
    std::snprintf(label, sizeof label, "%s / %s", what, reference);
    std::printf("  %-28s %s\n  %-28s %s\n  %-28s ratio %5.2f (target %s %.2f) %s\n", what, Figure(ours).c_str(),
                reference, Figure(theirs).c_str(), label, ratio, atMost ? "<=" : ">=", target,
                (atMost ? ratio <= target : ratio >= target) ? "ok" : "MISSED");
}

int TimeFits(int runs)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        int w, h;
        const char* ext;
        bool alpha;
    };
    const Case cases[] = {{"24 MP JPEG (quality 90)", 6000, 4000, "jpg", false},
                          {"12 MP JPEG (quality 90)", 4000, 3000, "jpg", false},
                          {"24 MP PNG (zlib level 6)", 6000, 4000, "png", false},
                          {"24 MP PNG RGBA (zlib level 6)", 6000, 4000, "png", true}};
    std::printf("fitting to the screen: medians of %d rounds alternating the contenders (spread min-max, CPU time\n"
                "of the process per run), file in the page cache\n",
                runs);
    for (const Case& c : cases) {
        const QString path = dir.path() + "/photo." + c.ext;
        if (!SavePicture(RealPhoto(c.w, c.h, 0, c.alpha), path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        const std::string p = path.toStdString();
        const QSize fit = FitFor(QSize(c.w, c.h));
        const bool png = std::string(c.ext) == "png";
        IdatInflate inflate(p);
        std::vector<std::function<bool()>> contenders = {
            [&] { return !VelmoraFit(path).isNull(); },
            [&] {
                if (png)
                    return !QImage(path).scaled(fit, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).isNull();
                return !LibjpegScaled(p, fit).isNull();
            },
            [&] {
                Imlib2Fit(p, fit);
                return true;
            }};
        if (png)
            contenders.push_back([&] { return inflate(); });
        for (const auto& contender : contenders)
            contender(); // the file into the page cache, first-use costs out of the way
        const std::vector<Rounds> r = Alternate(contenders, runs);
        std::printf("\n%s to %dx%d, file %.1f MB\n", c.name, fit.width(), fit.height(),
                    double(QFileInfo(path).size()) / 1e6);
        if (png) {
            std::unique_ptr<PictureFile> opened;
            const double open = TimeMs([&] { opened = PictureFile::Open(path); }, runs);
            const double render = TimeMs([&] { (void)opened->Render(fit); }, runs);
            std::printf("  (velmora open %.1f ms + render %.1f ms, medians)\n", open, render);
        }
        Row("velmora", r[0], png ? "full decode + smooth" : "libjpeg scaled + smooth", r[1], 1.2, true);
        if (png)
            Row("velmora", r[0], "libdeflate inflating IDAT", r[3], 1.35, true);
        Row("imlib2", r[2], "velmora", r[0], png ? 1.8 : 3.0, false);
    }
    return 0;
}


// ---------------------------------------------------------------- other formats

// 12 MP pictures by the formats' own encoders at their usual quality, the
// AV1 and JPEG XL encoders at a fast setting (the decoder's work is the same).
bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return !bytes.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool WriteHeif(const QImage& photo, const QString& path, heif_compression_format compression)
{
    HeifSettings settings;
    settings.compression = compression;
    settings.quality = 85;
    settings.fast = true;
    return WriteFile(path, HeifEncode(photo, settings));
}

bool WriteJxl(const QImage& photo, const QString& path)
{
    return WriteFile(path, JxlEncode(photo, {JXL_ORIENT_IDENTITY, 1.0f, 3}));
}

// The bridge of the build, as the program loads it, with the calls that the
// plug-in path takes.
struct Bridge {
    decltype(&::GetPicture) getPicture = nullptr;
    void* (*localLock)(void*) = nullptr;
    int (*localUnlock)(void*) = nullptr;
    void* (*localFree)(void*) = nullptr;

    bool Open(const QString& build)
    {
        void* library = dlopen(QFile::encodeName(build + "/libLoadPlugin.so").constData(), RTLD_NOW | RTLD_GLOBAL);
        if (!library)
            return false;
        getPicture = reinterpret_cast<decltype(getPicture)>(dlsym(library, "GetPicture"));
        localLock = reinterpret_cast<decltype(localLock)>(dlsym(library, "LocalLock"));
        localUnlock = reinterpret_cast<decltype(localUnlock)>(dlsym(library, "LocalUnlock"));
        localFree = reinterpret_cast<decltype(localFree)>(dlsym(library, "LocalFree"));
        return getPicture && localLock && localUnlock && localFree;
    }
};

// What a show step does with a plug-in picture: GetPicture, then the DIB
// drawn nearest-neighbour (COLORONCOLOR) onto the screen at the fit.
bool PluginFit(const Bridge& b, const std::string& plugin, const std::string& file, QSize fit, QImage& screen)
{
    void* info = nullptr;
    void* bits = nullptr;
    if (b.getPicture(plugin.c_str(), file.c_str(), 0, 0, &info, &bits, nullptr, 0) != 0 || !info || !bits)
        return false;
    HDC dc = CreateImageDC(&screen);
    SetStretchBltMode(dc, COLORONCOLOR);
    const auto* header = static_cast<const BITMAPINFO*>(b.localLock(info));
    const void* pixels = b.localLock(bits);
    const int lines = StretchDIBits(dc, 0, 0, fit.width(), fit.height(), 0, 0, header->bmiHeader.biWidth,
                                    header->bmiHeader.biHeight, pixels, header, DIB_RGB_COLORS, SRCCOPY);
    DeleteDC(dc);
    b.localUnlock(bits);
    b.localUnlock(info);
    b.localFree(bits);
    b.localFree(info);
    return lines > 0;
}

int TimeFormats(int runs)
{
    Bridge bridge;
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    if (!bridge.Open(build)) {
        std::fprintf(stderr, "cannot open the bridge of %s\n", qPrintable(build));
        return 1;
    }
    QTemporaryDir dir;
    const QImage photo = RealPhoto(4000, 3000, 0);
    struct Case {
        const char* name;
        const char* file;
        const char* plugin;
        std::function<bool(const QString&)> write;
    };
    const Case cases[] = {
        {"12 MP WebP", "photo.webp", "ifqtimg.spi", [&](const QString& p) { return photo.save(p, "webp", 90); }},
        {"12 MP HEIC", "photo.heic", "ifheif.spi", [&](const QString& p) { return WriteHeif(photo, p, heif_compression_HEVC); }},
        {"12 MP AVIF", "photo.avif", "ifheif.spi", [&](const QString& p) { return WriteHeif(photo, p, heif_compression_AV1); }},
        {"12 MP JPEG XL", "photo.jxl", "ifjxl.spi", [&](const QString& p) { return WriteJxl(photo, p); }},
    };
    std::printf("\n12 MP pictures fitted to the screen: built-in loader (smooth, colour-managed) against the\n"
                "plug-in path (GetPicture through the helper into a DIB, drawn nearest-neighbour); the\n"
                "plug-in's CPU time is this process's only, the helper's own is not counted\n");
    for (const Case& c : cases) {
        const QString path = dir.path() + "/" + c.file;
        if (!c.write(path)) {
            std::printf("%-14s not written\n", c.name);
            continue;
        }
        const std::string file = QFile::encodeName(path).toStdString();
        const std::string plugin = QFile::encodeName(build + "/Plugin/" + c.plugin).toStdString();
        const QSize fit = FitFor(photo.size());
        QImage screen(1920, 1080, QImage::Format_RGB32);
        VelmoraFit(path); // warm the file cache and the helper
        if (!PluginFit(bridge, plugin, file, fit, screen)) {
            std::printf("%-14s plug-in %s failed\n", c.name, c.plugin);
            continue;
        }
        const std::vector<Rounds> r = Alternate({[&] { return !VelmoraFit(path).isNull(); },
                                                 [&] { return PluginFit(bridge, plugin, file, fit, screen); }},
                                                runs);
        std::printf("%-14s %7.1f MB  built-in %s\n%-25s plug-in %s (%s)   ratio %5.2f\n", c.name,
                    QFileInfo(path).size() / 1e6, Figure(r[0]).c_str(), "", Figure(r[1]).c_str(), c.plugin,
                    r[0].Median() / r[1].Median());
    }
    return 0;
}

// A 24 MP JPEG with a wide-gamut profile (Display P3, as phones write it)
// against the same without: the conversion runs at the size shown and may
// add at most a tenth.
int TimeProfile(int runs)
{
    QTemporaryDir dir;
    QImage photo = RealPhoto(6000, 4000, 0);
    const QString plain = dir.path() + "/plain.jpg", tagged = dir.path() + "/p3.jpg";
    bool ok = photo.save(plain, "jpeg", 90);
    photo.setColorSpace(QColorSpace::DisplayP3);
    ok = ok && photo.save(tagged, "jpeg", 90);
    if (!ok) {
        std::fprintf(stderr, "cannot write the JPEGs\n");
        return 1;
    }
    VelmoraFit(plain);
    VelmoraFit(tagged);
    const std::vector<Rounds> r =
        Alternate({[&] { return !VelmoraFit(tagged).isNull(); }, [&] { return !VelmoraFit(plain).isNull(); }}, runs);
    std::printf("\n24 MP JPEG with an ICC profile\n");
    Row("Display P3 profile", r[0], "no profile", r[1], 1.10, true);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    DecodeService decoding;
    const QStringList args = app.arguments();
    if (args.size() >= 5 && args[1] == "make") {
        const int w = args[3].toInt(), h = args[4].toInt();
        const bool alpha = args.mid(5).contains("alpha"), synthetic = args.mid(5).contains("synthetic");
        return SavePicture(synthetic ? Photo(w, h, 0, alpha) : RealPhoto(w, h, 0, alpha), args[2]) ? 0 : 1;
    }
    if (args.size() >= 3 && args[1] == "png") {
        // One PNG against libdeflate inflating its picture data.
        const QString path = args[2];
        const int rounds = args.size() > 3 ? std::max(1, args[3].toInt()) : 9;
        IdatInflate inflate(path.toStdString());
        const std::vector<std::function<bool()>> contenders = {[&] { return !VelmoraFit(path).isNull(); },
                                                               [&] { return inflate(); }};
        for (const auto& contender : contenders)
            contender();
        const std::vector<Rounds> r = Alternate(contenders, rounds);
        std::printf("%s\n%s, %d rounds\n", MachineLine().c_str(), qPrintable(path), rounds);
        Row("velmora", r[0], "libdeflate inflating IDAT", r[1], 1.35, true);
        return 0;
    }
    if (args.size() == 5 && args[1] == "memory") {
        const auto picture = PictureFile::Open(args[2]);
        const QImage fitted = picture->Render(QSize(args[3].toInt(), args[4].toInt()));
        std::printf("%ld\n", fitted.isNull() ? -1 : PeakResidentKiB());
        return 0;
    }
    const int runs = args.size() > 1 ? std::max(1, args[1].toInt()) : 5;
    std::printf("%s\n%s\n", MachineLine().c_str(), qPrintable(PicturesLine()));
    const int failed = TimeFits(runs);
    return failed | TimeFormats(runs) | TimeProfile(runs * 2 + 1);
}
