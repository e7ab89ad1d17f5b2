#pragma once
// Pictures in the test filters' tiny format, what a drawing left behind, and
// the bridge's functions.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QImage>
#include <QStringList>
#include <QRect>
#include <QtEndian>

#include "common/RuntimeError.h"
#include "support/TestSupport.h"

// "VTP" + the IsSupported answer + width, height, depth and one colour.
inline QString WriteVtp(const TempTree& tree, const QString& name, int width, int height,
                        QColor colour = Qt::red, char answer = '1', int depth = 24)
{
    QByteArray data = QByteArray("VTP") + answer + QByteArray(8, '\0') + char(depth);
    qToLittleEndian<qint32>(width, data.data() + 4);
    qToLittleEndian<qint32>(height, data.data() + 8);
    data.append(char(colour.red())).append(char(colour.green())).append(char(colour.blue()));
    return tree.WriteFile(name, data);
}

inline QImage BlackSurface(int width, int height)
{
    QImage surface(width, height, QImage::Format_RGB32);
    surface.fill(Qt::black);
    return surface;
}

// The smallest rectangle that holds every pixel that is not black.
inline QRect DrawnBox(const QImage& surface)
{
    QRect box;
    for (int y = 0; y < surface.height(); ++y)
        for (int x = 0; x < surface.width(); ++x)
            if ((surface.pixel(x, y) & 0xFFFFFFu) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

// The kind of RuntimeError that f raises; -1 when it raises none.
template <typename F>
int RaisedKind(F&& f)
{
    try {
        f();
    } catch (const RuntimeError& e) {
        return int(e.Kind());
    }
    return -1;
}

// The host opens the bridge globally, so its functions are found by name.
template <typename F>
F BridgeFunction(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

// The bridge's count of local-memory blocks alive in this process.
inline std::size_t LiveBlocks()
{
    const auto count = BridgeFunction<std::size_t (*)()>("LoadPluginLiveBlocks");
    EXPECT_NE(count, nullptr);
    return count ? count() : 0;
}

// This process's children: the zombies, or the live ones that run plugin.
inline std::vector<int> Children(bool zombies, const QString& plugin = {})
{
    std::vector<int> pids;
    const QByteArray argument = '\0' + plugin.toUtf8() + '\0';
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat"), cmdline("/proc/" + entry + "/cmdline");
        if (!stat.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == getpid() &&
            (zombies ? fields[0] == "Z" : fields[0] != "Z" && cmdline.readAll().contains(argument)))
            pids.push_back(entry.toInt());
    }
    return pids;
}

// Whether pid is a process that runs (a zombie has ended).
inline bool Running(int pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
}

// The pid a test plug-in wrote to picture + ".pid" for a process it started;
// 0 when it wrote none.
inline int StartedPid(const QString& picture)
{
    QFile file(picture + ".pid");
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

// A program (a child of the test) draws a picture whose plug-in starts a
// process of its own: that process ends when the program ends, and also
// when the program is killed, so that none of its own code runs at the end.
// draw(picture) draws in the program and tells whether the picture came;
// started(picture) finds the plug-in's process, 0 when there is none.
inline void ExpectPluginProcessesEndWithTheProgram(const QString& ended, const QString& killed,
                                                   const std::function<bool(const QString&)>& draw,
                                                   const std::function<int(const QString&)>& started)
{
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0)
        std::exit(draw(ended) && Running(started(ended)) ? 0 : 1); // the bridge's exit code runs
    int status = 0;
    ASSERT_EQ(waitpid(program, &status, 0), program);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(WaitFor([&] { return !Running(started(ended)); }, 30000)) << "after the program ended";
    if (const int left = started(ended))
        kill(left, SIGKILL);

    int drawn[2];
    ASSERT_EQ(pipe(drawn), 0);
    const pid_t victim = fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        const char done = draw(killed) ? 'y' : 'n';
        if (write(drawn[1], &done, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(drawn[1]);
    char done = 0;
    EXPECT_EQ(read(drawn[0], &done, 1), 1);
    close(drawn[0]);
    EXPECT_EQ(done, 'y');
    EXPECT_TRUE(Running(started(killed)));
    kill(victim, SIGKILL);
    ASSERT_EQ(waitpid(victim, &status, 0), victim);
    EXPECT_TRUE(WaitFor([&] { return !Running(started(killed)); }, 30000)) << "after the program was killed";
    if (const int left = started(killed))
        kill(left, SIGKILL);
}

// The processes whose command line (arguments joined by spaces) holds text.
inline std::vector<int> ProcessesWith(const QString& text)
{
    std::vector<int> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile cmdline("/proc/" + entry + "/cmdline");
        if (entry.toInt() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            QString::fromUtf8(cmdline.readAll().replace('\0', ' ')).contains(text))
            pids.push_back(entry.toInt());
    }
    return pids;
}

// An executable script at rel below tree that runs Debian's wine program
// target (a loader or server in /usr/lib/wine) with its arguments, after the
// shell lines before: wine laid out as another installation would have it.
inline QString WrapWine(const TempTree& tree, const QString& rel, const QString& target,
                        const QByteArray& before = {})
{
    const QString path =
        tree.WriteFile(rel, "#!/bin/sh\n" + before + "exec /usr/lib/wine/" + target.toUtf8() + " \"$@\"\n");
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    return path;
}

// Why the Windows plug-in tests of a width cannot run here; empty when they
// can. Only a kernel that cannot run 32-bit programs is a reason in CI, where
// wine and mingw-w64 are installed.
inline std::string WindowsPluginsMissing(bool sixtyFour)
{
    const QString width = sixtyFour ? "64" : "32";
    const QString loader = sixtyFour ? "/usr/lib/wine/wine64" : "/usr/lib/wine/wine";
    if (!QFileInfo(loader).isExecutable())
        return "wine is not installed (scripts/setup-deps --windows-plugins installs it)";
    if (!QFileInfo::exists(BuildDir() + "/velmora-spihost" + width + ".exe") ||
        !QFileInfo::exists(TestPluginDir() + (sixtyFour ? "/wtest.sph" : "/wtest.spi")))
        return "built without mingw-w64 (scripts/setup-deps --windows-plugins installs it)";
    if (!sixtyFour) {
        QProcess probe;
        probe.start(loader, {"--version"});
        if (!probe.waitForFinished(60000) || probe.exitStatus() != QProcess::NormalExit ||
            probe.exitCode() != 0)
            return "this kernel cannot run 32-bit programs (no IA-32 emulation), so no 32-bit wine";
    }
    return {};
}
#define SKIP_WITHOUT_WINDOWS_PLUGINS(sixtyFour)                                              \
    do {                                                                                     \
        const std::string why = WindowsPluginsMissing(sixtyFour);                           \
        if (!why.empty()) {                                                                  \
            if (std::getenv("CI") && why.find("kernel") == std::string::npos)               \
                FAIL() << "CI must run the Windows plug-in tests: " << why;                 \
            GTEST_SKIP() << why;                                                             \
        }                                                                                    \
    } while (false)

// The calls that the hostile test filters (hostilefilter.c) make while the
// object lives, from the file they append them to.
class CallLog {
public:
    CallLog() : mEnvironment("VELMORA_TEST_CALLS", mTree.Path() + "/calls") {}
    // How many calls of function there were (about argument, when given).
    int Count(const QString& function, const QString& argument = {}) const
    {
        QFile file(mTree.Path() + "/calls");
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        int count = 0;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n'))
            count += argument.isEmpty() ? line.startsWith(function + u' ') : line == function + u' ' + argument;
        return count;
    }

private:
    TempTree mTree;
    ScopedEnvironment mEnvironment;
};

// The messages of the plug-in code's logging category while the object
// lives, from any thread, with the category turned on.
class PluginWarnings {
public:
    QStringList Take() { return mLines.Take(QStringLiteral("velmora.plugins")); }

private:
    LogLines mLines;
};
