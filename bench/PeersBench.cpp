// The pictures bench_fit fits, fitted by the loaders other viewers use, in
// one process so that no program start-up is counted: imlib2 (feh, nsxiv),
// libvips, gdk-pixbuf (Eye of GNOME, gThumb). Best of the runs, after one
// untimed run that puts the file in the page cache.
//
//   bench_peers [runs]   (default 5)
// glib's headers name struct members "signals": before Qt's keywords.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <vips/vips.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTemporaryDir>

// After Qt: it brings in Imlib2.h and with it Xlib's macros.
#include "FitPieces.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>

namespace {

// Best, not median: someone else's work on the machine only ever adds time.
double BestMs(const std::function<bool()>& work, int runs)
{
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!work())
            return -1;
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

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

bool ImlibFit(const std::string& path, QSize fit)
{
    Imlib2Fit(path, fit);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (VIPS_INIT(argv[0]) != 0) {
        std::fprintf(stderr, "libvips did not start\n");
        return 1;
    }
    // Every run must decode again, not take the last result from the cache.
    vips_cache_set_max(0);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    QTemporaryDir dir;
    struct Case {
        const char* name;
        const char* file;
        bool alpha;
        int quality; // for PNG, Qt's quality 50 is zlib level 4
    };
    const Case cases[] = {{"24 MP JPEG (quality 90)", "photo.jpg", false, 90},
                          {"24 MP PNG RGB (zlib level 4)", "photo.png", false, 50},
                          {"24 MP PNG RGBA (zlib level 4)", "alpha.png", true, 50}};
    std::printf("fitting to the screen, best of %d, file in the page cache\n", runs);
    for (const Case& c : cases) {
        const QString path = dir.path() + "/" + c.file;
        if (!PhotoLike(6000, 4000, c.alpha).save(path, nullptr, c.quality)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        const std::string p = path.toStdString();
        const QSize fit = FitFor(QSize(6000, 4000));
        struct Peer {
            const char* name;
            std::function<bool()> fit;
        };
        const Peer peers[] = {
            {"velmora", [&] { return !VelmoraFit(path).isNull(); }},
            {"imlib2 load + anti-aliased scale", [&] { return ImlibFit(p, fit); }},
            {"libvips vips_thumbnail", [&] { return VipsFit(p, fit); }},
            {"gdk-pixbuf load + bilinear", [&] { return PixbufFit(p, fit); }},
        };
        std::printf("\n%s to %dx%d\n  %-34s %9s   %s\n", c.name, fit.width(), fit.height(), "loader", "ms",
                    "loader/velmora");
        double velmora = -1;
        for (const Peer& peer : peers) {
            peer.fit(); // the file into the page cache, the loader's first-use costs out of the way
            const double ms = BestMs(peer.fit, runs);
            if (ms < 0) {
                std::printf("  %-34s failed\n", peer.name);
                continue;
            }
            if (&peer == peers)
                velmora = ms;
            if (velmora > 0)
                std::printf("  %-34s %9.1f   %5.2f\n", peer.name, ms, ms / velmora);
            else
                std::printf("  %-34s %9.1f\n", peer.name, ms);
        }
    }
    vips_shutdown();
    return 0;
}
