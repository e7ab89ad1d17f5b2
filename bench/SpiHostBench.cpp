// What running a plug-in in its helper process costs: GetPicture of a 12 MP
// picture through the bridge with the plug-in in this process and in its
// helper, alternating, in one run; medians and the added time.
//
//   bench_spihost [runs]     (default 7 runs of each; the build folder's
//                             bridge and Plugin/ifqtimg.spi are used)
#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pluginrunner/LoadPlugin.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Bridge {
    decltype(&::IsSupported) isSupported = nullptr;
    decltype(&::GetPicture) getPicture = nullptr;
    void* (*localFree)(void*) = nullptr;
    std::size_t (*localSize)(void*) = nullptr;
    const char* (*lastError)() = nullptr;
};

QImage PhotoLike(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = int(random.bounded(16u));
            row[x] = qRgb((x * 255 / width + noise) & 255, (y * 255 / height + noise) & 255,
                          ((x ^ y) + noise) & 255);
        }
    }
    return image;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One decode and the release of both blocks, in milliseconds; -1 on failure.
double Decode(const Bridge& b, const std::string& plugin, const std::string& file,
              std::size_t* bitsSize)
{
    void* info = nullptr;
    void* bits = nullptr;
    const auto start = Clock::now();
    const int rc = b.getPicture(plugin.c_str(), file.c_str(), 0, 0, &info, &bits, nullptr, 0);
    const auto end = Clock::now();
    if (const char* error = b.lastError()) {
        std::fprintf(stderr, "GetPicture failed: %s\n", error);
        return -1;
    }
    if (rc != 0 || !info || !bits) {
        std::fprintf(stderr, "GetPicture gave %d\n", rc);
        return -1;
    }
    *bitsSize = b.localSize(bits);
    b.localFree(info);
    b.localFree(bits);
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    const std::string bridgePath = QFile::encodeName(build + "/libLoadPlugin.so").toStdString();
    const std::string plugin = QFile::encodeName(build + "/Plugin/ifqtimg.spi").toStdString();

    void* library = dlopen(bridgePath.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!library) {
        std::fprintf(stderr, "cannot open the bridge: %s\n", dlerror());
        return 1;
    }
    Bridge b;
    b.isSupported = reinterpret_cast<decltype(b.isSupported)>(dlsym(library, "IsSupported"));
    b.getPicture = reinterpret_cast<decltype(b.getPicture)>(dlsym(library, "GetPicture"));
    b.localFree = reinterpret_cast<decltype(b.localFree)>(dlsym(library, "LocalFree"));
    b.localSize = reinterpret_cast<decltype(b.localSize)>(dlsym(library, "LocalSize"));
    b.lastError = reinterpret_cast<decltype(b.lastError)>(dlsym(library, "LoadPluginLastError"));
    if (!b.isSupported || !b.getPicture || !b.localFree || !b.localSize || !b.lastError) {
        std::fprintf(stderr, "the bridge lacks a function\n");
        return 1;
    }

    QTemporaryDir scratch;
    struct Picture {
        const char* what;
        QString name;
        QByteArray format;
    };
    const Picture pictures[] = {{"12 MP TIFF", "photo.tif", "tiff"}, {"12 MP WebP", "photo.webp", "webp"}};
    const QImage photo = PhotoLike(4000, 3000);
    bool allOk = true;
    for (const Picture& p : pictures) {
        const QString path = scratch.path() + "/" + p.name;
        QImageWriter writer(path, p.format);
        writer.setQuality(90);
        if (!writer.write(photo)) {
            std::printf("%-12s not written: %s\n", p.what, qPrintable(writer.errorString()));
            continue;
        }
        const std::string file = QFile::encodeName(path).toStdString();
        std::vector<double> inProcess, helper;
        std::size_t bitsSize = 0;
        // One warm-up of each: the plug-in loaded, the helper started.
        for (int run = -1; run < runs; ++run) {
            setenv("VELMORA_SPI_INPROCESS", "1", 1);
            const double a = Decode(b, plugin, file, &bitsSize);
            unsetenv("VELMORA_SPI_INPROCESS");
            const double h = Decode(b, plugin, file, &bitsSize);
            if (a < 0 || h < 0)
                return 1;
            if (run >= 0) {
                inProcess.push_back(a);
                helper.push_back(h);
            }
        }
        const double ma = Median(inProcess), mh = Median(helper);
        const double added = mh - ma, allowed = std::max(0.15 * ma, 5.0);
        std::printf("%-12s GetPicture in-process %7.1f ms, through the helper %7.1f ms "
                    "(%zu-byte pixel block): added %+.1f ms (%+.1f%%, target <= %.1f ms) %s\n",
                    p.what, ma, mh, bitsSize, added, 100.0 * added / ma, allowed,
                    added <= allowed ? "ok" : "MISSED");
        allOk = allOk && added <= allowed;
    }
    // The fixed cost of one crossing: IsSupported, which reads the file's
    // head in this process either way.
    const std::string head = QFile::encodeName(scratch.path() + "/photo.webp").toStdString();
    for (const bool inside : {true, false}) {
        if (inside)
            setenv("VELMORA_SPI_INPROCESS", "1", 1);
        else
            unsetenv("VELMORA_SPI_INPROCESS");
        const int calls = 2000;
        b.isSupported(plugin.c_str(), head.c_str());
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            b.isSupported(plugin.c_str(), head.c_str());
        const double us =
            std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
        std::printf("IsSupported  %s %7.1f us per call\n",
                    inside ? "in-process         " : "through the helper ", us);
    }
    return allOk ? 0 : 2;
}
