#include "platform/Drives.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

#include "common/CodePage.h"

namespace {

QString gMountTable;

// File systems that hold no files of a user's own.
const QSet<QByteArray> kPseudoTypes{
    "proc", "sysfs", "devtmpfs", "devpts", "tmpfs", "cgroup", "cgroup2", "securityfs", "pstore", "debugfs",
    "tracefs", "mqueue", "hugetlbfs", "fusectl", "configfs", "binfmt_misc", "autofs", "bpf", "nsfs",
    "ramfs", "efivarfs", "rpc_pipefs", "overlay", "squashfs", "fuse.portal", "fuse.gvfsd-fuse"};

// Mount points in mountinfo escape blanks and the like as \ooo.
QByteArray Unescape(const QByteArray& field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

bool UserVolume(const QString& mountPoint)
{
    for (const char* prefix : {"/media/", "/mnt/", "/run/media/", "/home", "/srv", "/data"})
        if (mountPoint.startsWith(QLatin1String(prefix)) || mountPoint == QLatin1String(prefix).chopped(1))
            return true;
    return false;
}

} // namespace

void SetMountTable(const QString& mountInfoFile) { gMountTable = mountInfoFile; }

QStringList Drives()
{
    QStringList drives{QStringLiteral("/")};
    QFile table(gMountTable.isEmpty() ? QStringLiteral("/proc/self/mountinfo") : gMountTable);
    if (table.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            const qsizetype dash = fields.indexOf("-");
            if (fields.size() < 5 || dash < 0 || dash + 1 >= fields.size())
                continue;
            const QString mountPoint = FromCodePage(Unescape(fields[4]));
            if (kPseudoTypes.contains(fields[dash + 1]) || !UserVolume(mountPoint) || drives.contains(mountPoint))
                continue;
            drives.append(mountPoint);
        }
    }
    std::sort(drives.begin() + 1, drives.end());
    return drives;
}

QString DriveOfPath(const QString& path)
{
    QString best = QStringLiteral("/");
    for (const QString& drive : Drives()) {
        const QString prefix = drive.endsWith(u'/') ? drive : drive + u'/';
        if ((path == drive || path.startsWith(prefix)) && drive.size() > best.size())
            best = drive;
    }
    return best;
}

bool DriveReady(const QString& drive)
{
    const QFileInfo info(drive);
    return info.isDir() && QDir(drive).isReadable();
}
