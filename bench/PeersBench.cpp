// The pictures bench_fit fits, fitted by the loaders other viewers use, in
// one process so that no program start-up is counted: imlib2 (feh, nsxiv),
// libvips, gdk-pixbuf (Eye of GNOME, gThumb). Medians of rounds that
// alternate the loaders, after one untimed run each that puts the file in the
// page cache, with the spread and the CPU time of a run.
//
// libvips and gdk-pixbuf are left out, with a line saying so, when they were
// not there to build with.
//
//   bench_peers [rounds]                  time the fits (default 5 rounds)
//   bench_peers make FOLDER jpg|png N     write bench_heldkey's N pictures

// glib's headers name struct members "signals": before Qt's keywords.
#ifdef PEERS_HAVE_PIXBUF
#include <gdk-pixbuf/gdk-pixbuf.h>
#endif
#ifdef PEERS_HAVE_VIPS
#include <vips/vips.h>
#endif

#include "BenchPictures.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

// After Qt: it brings in Imlib2.h and with it Xlib's macros.
#include "FitPieces.h"
#include "imaging/DecodeService.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

#ifdef PEERS_HAVE_VIPS
// vips_thumbnail rather than load + vips_resize: it is libvips' own way to
// show a whole picture at a given size, and it shrinks while loading (JPEG
// DCT scaling) as a viewer would. Written out to memory, since libvips only
// computes the pixels when something asks for them.
bool VipsFit(const std::string& path, QSize fit)
{
    VipsImage* out = nullptr;
    if (vips_thumbnail(path.c_str(), &out, fit.width(), "height", fit.height(), nullptr) != 0) {
        vips_error_clear();
        return false;
    }
    std::size_t size = 0;
    void* pixels = vips_image_write_to_memory(out, &size);
    g_object_unref(out);
    g_free(pixels);
    return pixels != nullptr;
}
#endif

#ifdef PEERS_HAVE_PIXBUF
// What Eye of GNOME and gThumb do: the whole picture, then a bilinear copy
// at the size shown.
bool PixbufFit(const std::string& path, QSize fit)
{
    GdkPixbuf* full = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (!full)
        return false;
    GdkPixbuf* scaled = gdk_pixbuf_scale_simple(full, fit.width(), fit.height(), GDK_INTERP_BILINEAR);
    g_object_unref(full);
    if (scaled)
        g_object_unref(scaled);
    return scaled != nullptr;
}
#endif

bool ImlibFit(const std::string& path, QSize fit)
{
    Imlib2Fit(path, fit);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    DecodeService decoding;
    if (argc == 5 && std::strcmp(argv[1], "make") == 0) {
        // One writer a core: twenty 24 MP PNGs take minutes on one.
        const QString folder = QString::fromLocal8Bit(argv[2]);
        const int count = std::atoi(argv[4]);
        return WriteAll(count, [&](int i) { return WriteShowPicture(folder, argv[3], i); }) ? 0 : 1;
    }
#ifdef PEERS_HAVE_VIPS
    if (VIPS_INIT(argv[0]) != 0) {
        std::fprintf(stderr, "libvips did not start\n");
        return 1;
    }
    // Every run must decode again, not take the last result from the cache.
    vips_cache_set_max(0);
#else
    std::printf("skipped: libvips not installed (libvips-dev when building)\n");
#endif
#ifndef PEERS_HAVE_PIXBUF
    std::printf("skipped: gdk-pixbuf not installed (libgdk-pixbuf-2.0-dev when building)\n");
#endif
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    QTemporaryDir dir;
    struct Case {
        const char* name;
        const char* file;
        bool alpha;
    };
    const Case cases[] = {{"24 MP JPEG (quality 90)", "photo.jpg", false},
                          {"24 MP PNG RGB (zlib level 6)", "photo.png", false},
                          {"24 MP PNG RGBA (zlib level 6)", "alpha.png", true}};
    std::printf("%s\n%s\n", MachineLine().c_str(), qPrintable(PicturesLine()));
    std::printf("fitting to the screen: medians of %d rounds alternating the loaders, spread min-max,\n"
                "CPU time (user + system, all threads) per run; file in the page cache\n",
                runs);
    for (const Case& c : cases) {
        const QString path = dir.path() + "/" + c.file;
        if (!SavePicture(RealPhoto(6000, 4000, 0, c.alpha), path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        const std::string p = path.toStdString();
        const QSize fit = FitFor(QSize(6000, 4000));
        std::vector<const char*> names = {"velmora", "imlib2 load + anti-aliased scale"};
        std::vector<std::function<bool()>> fits = {[&] { return !VelmoraFit(path).isNull(); },
                                                   [&] { return ImlibFit(p, fit); }};
#ifdef PEERS_HAVE_VIPS
        names.push_back("libvips vips_thumbnail");
        fits.push_back([&] { return VipsFit(p, fit); });
#endif
#ifdef PEERS_HAVE_PIXBUF
        names.push_back("gdk-pixbuf load + bilinear");
        fits.push_back([&] { return PixbufFit(p, fit); });
#endif
        for (const auto& fitOnce : fits)
            fitOnce(); // the file into the page cache, the loader's first-use costs out of the way
        const std::vector<Rounds> r = Alternate(fits, runs);
        std::printf("\n%s to %dx%d\n  %-34s %9s %19s %12s   %s\n", c.name, fit.width(), fit.height(), "loader",
                    "median ms", "spread ms", "CPU ms", "loader/velmora");
        for (std::size_t i = 0; i < fits.size(); ++i) {
            if (r[i].failed) {
                std::printf("  %-34s failed\n", names[i]);
                continue;
            }
            char spread[40];
            std::snprintf(spread, sizeof spread, "%.1f-%.1f", Min(r[i].wall), Max(r[i].wall));
            std::printf("  %-34s %9.1f %19s %12.1f", names[i], r[i].Median(), spread, r[i].Cpu());
            if (!r[0].failed)
                std::printf("   %5.2f", r[i].Median() / r[0].Median());
            std::printf("\n");
        }
    }
#ifdef PEERS_HAVE_VIPS
    vips_shutdown();
#endif
    return 0;
}
