// What a Windows plug-in under wine costs against a Linux one that does the
// same decode (the test plug-ins' solid-colour pictures):
// - the plug-in part of a show step with a 12 MP picture (the manager finds
//   the plug-in, which decodes; the picture is fitted and drawn on a
//   1920 x 1080 surface), medians of alternating runs;
// - the first call of a Windows plug-in with the prefix ready, once with no
//   wine server running and once with one running;
// - peak memory of the helper and of the wine server.
//
//   bench_winspi [runs]     (default 7; the build folder's bridge, helpers
//                            and test plug-ins; the wine prefix is the user's
//                            Velmora prefix, made on first use)
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/AppPaths.h"
#include "imaging/DeviceContext.h"
#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginBridge.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QByteArray Vtp(int width, int height)
{
    QByteArray data = QByteArray("VTP1") + QByteArray(8, '\0') + char(24) + "\x50\x90\xC0";
    qToLittleEndian<qint32>(width, data.data() + 4);
    qToLittleEndian<qint32>(height, data.data() + 8);
    return data;
}

// The processes whose command line holds text, and their peak memory (KiB).
std::vector<std::pair<int, long>> Processes(const QByteArray& text)
{
    std::vector<std::pair<int, long>> found;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile cmdline("/proc/" + entry + "/cmdline"), status("/proc/" + entry + "/status");
        if (entry.toInt() <= 0 || !cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains(text) ||
            !status.open(QIODevice::ReadOnly))
            continue;
        long peak = 0;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                peak = line.mid(6).trimmed().split(' ').value(0).toLong();
        found.emplace_back(entry.toInt(), peak);
    }
    return found;
}

// The wine server of Velmora's prefix ends (with every wine process in it).
void StopWineServer()
{
    QProcess kill;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString data = qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share");
    env.insert("WINEPREFIX", data + "/velmora/wine");
    kill.setProcessEnvironment(env);
    kill.start("/usr/lib/wine/wineserver", {"-k"});
    kill.waitForFinished(10000);
    for (int i = 0; i < 100 && !Processes("wineserver").empty(); ++i)
        usleep(20000);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    const QString fixtures = build + "/tests/pluginhost";
    if (!QFile::exists(fixtures + "/wtest.sph") || !QFile::exists(build + "/velmora-spihost64.exe")) {
        std::printf("no Windows helper or test plug-in built (mingw-w64 missing): skipped\n");
        return 0;
    }
    if (!QFile::exists("/usr/lib/wine/wine64")) {
        std::printf("wine is not installed (scripts/setup-deps --windows-plugins): skipped\n");
        return 0;
    }
    SetAppFolder(build);
    QTemporaryDir scratch;
    const QString native = scratch.path() + "/native", windows = scratch.path() + "/windows";
    QDir().mkpath(native);
    QDir().mkpath(windows);
    QFile::copy(fixtures + "/vtest.spi", native + "/vtest.spi");
    QFile::copy(fixtures + "/wtest.sph", windows + "/wtest.sph");
    // Two more copies: each path is a helper of its own, started fresh.
    QFile::copy(fixtures + "/wtest.sph", scratch.path() + "/cold.sph");
    QFile::copy(fixtures + "/wtest.sph", scratch.path() + "/warm.sph");

    // The prefix is made (once) before anything is timed.
    PluginBridge::PreparePlugins(windows);
    QByteArray buffer(256, '\0');
    PluginBridge::GetPluginInfo(windows + "/wtest.sph", 0, buffer);

    std::printf("first call of a Windows plug-in (GetPluginInfo), prefix ready:\n");
    StopWineServer();
    auto start = Clock::now();
    const int cold = PluginBridge::GetPluginInfo(scratch.path() + "/cold.sph", 0, buffer);
    const double coldMs = Ms(start);
    start = Clock::now();
    const int warm = PluginBridge::GetPluginInfo(scratch.path() + "/warm.sph", 0, buffer);
    const double warmMs = Ms(start);
    if (cold <= 0 || warm <= 0)
        return 1;
    std::printf("  no wine server running %7.1f ms (target <= 1000 ms) %s\n", coldMs, coldMs <= 1000 ? "ok" : "MISSED");
    std::printf("  wine server running    %7.1f ms (target <= 60 ms) %s\n", warmMs, warmMs <= 60 ? "ok" : "MISSED");

    const QString picture = scratch.path() + "/photo.vtp", windowsPicture = scratch.path() + "/photo.vtw";
    for (const QString& path : {picture, windowsPicture}) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(Vtp(4000, 3000)) <= 0)
            return 1;
    }
    ClsPluginManager nativeManager, windowsManager;
    nativeManager.Initialize(native);
    windowsManager.Initialize(windows);
    if (nativeManager.PluginCount() != 0 || windowsManager.PluginCount() != 0) {
        std::fprintf(stderr, "the test plug-ins did not load\n");
        return 1;
    }
    QImage surface(1920, 1080, QImage::Format_RGB32);
    const HDC dc = CreateImageDC(&surface);
    std::vector<double> nativeMs, windowsMs;
    for (int run = -1; run < runs; ++run) { // one warm-up of each
        surface.fill(Qt::black);
        start = Clock::now();
        nativeManager.DrawPictureFile(picture, dc, 1080, 1920, 0, 0, QString());
        const double n = Ms(start);
        const QRgb nativePixel = surface.pixel(960, 540);
        surface.fill(Qt::black);
        start = Clock::now();
        windowsManager.DrawPictureFile(windowsPicture, dc, 1080, 1920, 0, 0, QString());
        const double w = Ms(start);
        if (surface.pixel(960, 540) != nativePixel || nativePixel != qRgb(0x50, 0x90, 0xC0)) {
            std::fprintf(stderr, "the pictures differ\n");
            return 1;
        }
        if (run >= 0) {
            nativeMs.push_back(n);
            windowsMs.push_back(w);
        }
    }
    DeleteDC(dc);
    const double n = Median(nativeMs), w = Median(windowsMs), allowed = 1.3 * n + 40;
    std::printf("plug-in part of a show step, 12 MP picture to 1920 x 1080:\n"
                "  Linux plug-in %7.1f ms, Windows plug-in under wine %7.1f ms "
                "(ratio %.2f; target <= 1.3 x + 40 ms = %.1f ms) %s\n",
                n, w, w / n, allowed, w <= allowed ? "ok" : "MISSED");

    std::printf("peak resident memory:\n");
    for (const auto& [pid, kib] : Processes(QFile::encodeName(windows + "/wtest.sph")))
        std::printf("  helper (pid %d)       %7.1f MiB\n", pid, kib / 1024.0);
    for (const auto& [pid, kib] : Processes("wineserver"))
        std::printf("  wine server (pid %d)  %7.1f MiB\n", pid, kib / 1024.0);
    return w <= allowed && coldMs <= 1000 && warmMs <= 60 ? 0 : 2;
}
