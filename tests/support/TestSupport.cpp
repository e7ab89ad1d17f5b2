#include "support/TestSupport.h"

#include "imaging/DecodeService.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "common/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <mutex>
#include <stdexcept>
#include <utility>

#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

QString BuildDir()
{
    const QString fromEnv = qEnvironmentVariable("VELMORA_BUILD_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(VELMORA_BUILD_DIR) : fromEnv;
}

QString TestPluginDir() { return BuildDir() + "/tests/pluginhost"; }

TempTree::TempTree()
{
    if (!mDir.isValid())
        throw std::runtime_error("cannot create a temporary folder");
}

QString TempTree::Path() const { return mDir.path(); }

QString TempTree::MakeDir(const QString& rel) const
{
    const QString full = Path() + "/" + rel;
    if (!QDir().mkpath(full))
        throw std::runtime_error("cannot create " + full.toStdString());
    return full;
}

QString TempTree::WriteFile(const QString& rel, const QByteArray& contents) const
{
    const QString full = Path() + "/" + rel;
    QDir().mkpath(QFileInfo(full).path());
    QFile f(full);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(contents) != contents.size())
        throw std::runtime_error("cannot write " + full.toStdString());
    return full;
}

bool WaitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const QString& value)
    : mName(name), mWasSet(qEnvironmentVariableIsSet(name)), mOld(qgetenv(name))
{
    qputenv(name, value.toUtf8());
}

ScopedEnvironment::~ScopedEnvironment()
{
    if (mWasSet)
        qputenv(mName, mOld);
    else
        qunsetenv(mName);
}

ProgramFolder::ProgramFolder()
{
    MakeDir("Plugin");
    const QString bridge = BuildDir() + "/libLoadPlugin.so";
    if (QFileInfo::exists(bridge))
        QFile::copy(bridge, Path() + "/libLoadPlugin.so");
    // The bridge runs each plug-in in a helper, which it finds beside itself.
    for (const char* helper : {"velmora-spihost", "velmora-spihost32.exe", "velmora-spihost64.exe"})
        if (QFileInfo::exists(BuildDir() + "/" + helper))
            QFile::copy(BuildDir() + "/" + helper, Path() + "/" + helper);
    SetAppFolder(Path());
}

ProgramFolder::~ProgramFolder() { SetAppFolder(QString()); }

QString ProgramFolder::PluginFolder() const { return Path() + "/Plugin"; }

QString ProgramFolder::AddPlugin(const QString& builtPlugin, const QString& asName) const
{
    QString source = builtPlugin;
    if (!source.contains(u'/')) {
        source = TestPluginDir() + "/" + builtPlugin;
        if (!QFileInfo::exists(source))
            source = BuildDir() + "/Plugin/" + builtPlugin;
    }
    const QString target = PluginFolder() + "/" + (asName.isEmpty() ? QFileInfo(source).fileName() : asName);
    QFile::remove(target);
    if (!QFile::copy(source, target))
        throw std::runtime_error("cannot copy plug-in " + source.toStdString());
    return target;
}

QString ProgramFolder::SettingsFile() const { return Path() + "/SlideShow.ini"; }

void ProgramFolder::WriteSettings(const QByteArray& contents) const
{
    WriteFile("SlideShow.ini", contents);
}

QByteArray ProgramFolder::ReadSettings() const
{
    QFile f(SettingsFile());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

namespace {

struct LoggedLine {
    QString category;
    QString message;
};

std::mutex& LogMutex()
{
    static std::mutex mutex;
    return mutex;
}

QList<LoggedLine>& Logged()
{
    static QList<LoggedLine> lines;
    return lines;
}

void TakeLine(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    const QString category = QString::fromUtf8(context.category ? context.category : "");
    if (!category.startsWith(QStringLiteral("velmora.")))
        return;
    std::lock_guard lock(LogMutex());
    Logged().append({category, message});
}

} // namespace

LogLines::LogLines(bool turnOn) : mTurnedOn(turnOn)
{
    {
        std::lock_guard lock(LogMutex());
        Logged().clear();
    }
    if (turnOn)
        QLoggingCategory::setFilterRules(QStringLiteral("velmora.*=true"));
    mPrevious = qInstallMessageHandler(&TakeLine);
}

LogLines::~LogLines()
{
    qInstallMessageHandler(mPrevious);
    if (mTurnedOn)
        QLoggingCategory::setFilterRules(QString());
}

QStringList LogLines::Take(const QString& category)
{
    std::lock_guard lock(LogMutex());
    QStringList taken;
    QList<LoggedLine> kept;
    for (const LoggedLine& line : std::as_const(Logged())) {
        if (category.isEmpty() || line.category == category)
            taken << line.message;
        else
            kept << line;
    }
    Logged() = kept;
    return taken;
}

bool Said(const QStringList& messages, const QStringList& words)
{
    for (const QString& message : messages) {
        bool all = true;
        for (const QString& word : words)
            all = all && message.contains(word);
        if (all)
            return true;
    }
    return false;
}

void RunTool(const QString& folder, const QString& tool, const QStringList& args)
{
    const QString program = QStandardPaths::findExecutable(tool);
    ASSERT_FALSE(program.isEmpty()) << tool.toStdString() << " is not installed (scripts/packages.txt)";
    QProcess p;
    if (!folder.isEmpty())
        p.setWorkingDirectory(folder);
    p.start(program, args);
    ASSERT_TRUE(p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        << tool.toStdString() << " " << args.join(' ').toStdString() << ": " << p.readAllStandardError().toStdString();
}

int RunTestsInApplication(int& argc, char** argv)
{
    // User data (the Windows plug-ins' wine prefix) and settings stay in
    // the build folder, whatever the user's own setting.
    qputenv("XDG_DATA_HOME", VELMORA_BUILD_DIR "/tests/xdg-data");
    qputenv("XDG_CONFIG_HOME", VELMORA_BUILD_DIR "/tests/xdg-config");
    // Shows never reach the user's session bus (its screen saver) from a test.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication app(argc, argv);
    DecodeService decoding;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

std::string MissingTools(std::initializer_list<std::pair<const char*, const char*>> tools)
{
    std::string missing;
    for (const auto& [tool, package] : tools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            missing += std::string(missing.empty() ? "" : ", ") + tool + " (Debian " + package + ")";
    return missing;
}

QByteArray RunTool(const QString& tool, const QStringList& args, const QString& out)
{
    RunTool(QString(), tool, args);
    QFile file(out);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    EXPECT_FALSE(bytes.isEmpty()) << out.toStdString();
    return bytes;
}
