#include "support/SlowMount.h"

#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Mounting takes milliseconds; the bounds are for a loaded machine.
constexpr int kMountBoundMs = 20000;
// How long an unmounted file system may take to end before it is killed.
constexpr int kEndGraceMs = 1000;

// An option value for fuse_opt, which splits at commas.
QString OptionValue(QString value)
{
    return value.replace(u'\\', QStringLiteral("\\\\")).replace(u',', QStringLiteral("\\,"));
}

// Mount points in /proc/self/mountinfo have " \t\n\\" as octal escapes.
std::string Unescaped(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += char(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Runs fusermount3 -u -z on path; false when it failed or did not end.
bool LazyUnmount(const QString& path)
{
    QProcess fusermount;
    fusermount.setProcessChannelMode(QProcess::MergedChannels);
    fusermount.start(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), path});
    if (!fusermount.waitForFinished(kMountBoundMs)) {
        fusermount.kill();
        fusermount.waitForFinished();
        return false;
    }
    return fusermount.exitStatus() == QProcess::NormalExit && fusermount.exitCode() == 0;
}

} // namespace

bool IsMountPoint(const QString& path)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    const std::string wanted = path.toStdString();
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        if (fields >> id >> parent >> device >> root >> mountPoint && Unescaped(mountPoint) == wanted)
            return true;
    }
    return false;
}

SlowMount::SlowMount(const QString& source, std::chrono::microseconds delay, const QString& stallName)
{
    const QString program = BuildDir() + "/tests/velmora-slowfs";
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        mFailure = "/dev/fuse: " + QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    ::close(fuse);
    if (!QFileInfo(program).isExecutable()) {
        mFailure = program + " is not built (Debian libfuse3-dev)";
        return;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("fusermount3")).isEmpty()) {
        mFailure = QStringLiteral("fusermount3 is not installed (Debian fuse3)");
        return;
    }
    // Resolved before anything is mounted there: resolving it later would
    // ask the file system.
    mPath = QFileInfo(mMountPoint.path()).canonicalFilePath();
    if (!mMountPoint.isValid() || mPath.isEmpty()) {
        mFailure = QStringLiteral("cannot create a temporary folder");
        return;
    }
    QString options = "source=" + OptionValue(QFileInfo(source).absoluteFilePath()) +
                      ",delay_us=" + QString::number(delay.count());
    if (!stallName.isEmpty())
        options += ",stall=" + OptionValue(stallName);
    mProcess = std::make_unique<QProcess>();
    mProcess->setProcessChannelMode(QProcess::MergedChannels);
    mProcess->start(program, {Path(), QStringLiteral("-f"), QStringLiteral("-o"), options});
    QElapsedTimer clock;
    clock.start();
    while (!IsMountPoint(Path())) {
        if (mProcess->state() == QProcess::NotRunning || mProcess->waitForFinished(10)) {
            const QString said = QString::fromLocal8Bit(mProcess->readAll()).trimmed();
            mFailure = "velmora-slowfs ended: " + (said.isEmpty() ? mProcess->errorString() : said);
            mProcess.reset();
            return;
        }
        if (clock.elapsed() > kMountBoundMs) {
            mFailure = QStringLiteral("velmora-slowfs did not mount within %1 ms").arg(kMountBoundMs);
            Unmount();
            return;
        }
    }
    mMounted = true;
}

SlowMount::~SlowMount() { Unmount(); }

QString SlowMount::Path() const { return mPath; }

long long SlowMount::Count(const char* name) const
{
    char text[32] = {};
    const std::string attribute = std::string("user.slowfs.") + name;
    const ssize_t length = ::getxattr(Path().toLocal8Bit().constData(), attribute.c_str(), text, sizeof text - 1);
    return length > 0 ? std::atoll(text) : -1;
}

void SlowMount::Unmount()
{
    if (!mProcess)
        return;
    // Lazily, so that requests in flight (or stalled) cannot hold this up;
    // the file system then ends by itself once nothing uses it, or is
    // killed, which fails what it still holds.
    LazyUnmount(Path());
    if (!mProcess->waitForFinished(kEndGraceMs)) {
        mProcess->kill();
        mProcess->waitForFinished(kMountBoundMs);
    }
    // A file system that died while mounted leaves its mount behind.
    if (IsMountPoint(Path()) && !LazyUnmount(Path()))
        mMountPoint.setAutoRemove(false);
    mProcess.reset();
    mMounted = false;
}
