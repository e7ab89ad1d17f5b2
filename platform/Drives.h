#pragma once
// Drives: the mounted volumes that hold real file systems (the root volume
// and volumes mounted under /media, /mnt, /run/media and the like).
#include <QString>
#include <QStringList>

// Mount points, the root first, then in alphabetical order.
QStringList Drives();

// The drive of a path: the drive whose mount point is the longest prefix of
// the path ("/" for any absolute path outside the other drives).
QString DriveOfPath(const QString& path);

// Whether a drive can be opened; one that cannot stands for a drive without media.
bool DriveReady(const QString& drive);

// Reads the mount table from another file in /proc/self/mountinfo's layout
// (tests describe their own drives); an empty path restores the system's.
void SetMountTable(const QString& mountInfoFile);
