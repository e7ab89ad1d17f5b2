#pragma once
// What the show needs of an archive, however it was read: its files, listed
// once in the directory search's name order (common/NameMatch.h's
// CompareNames applied to the whole inner path), and the bytes of one of
// them. Read built in (ArchiveIndex) or by an archive plug-in.
#include "codecs/CodecResult.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

// One regular file inside an archive (folders are not entries).
struct ArchiveEntry {
    QString path;           // inner path, "/" between parts, no leading "/"
    qint64 size = -1;       // as the archive declares it; -1 when it does not
    bool encrypted = false; // Read refuses it
    int header = 0;         // its position in the archive's own listing: how Read finds it again
};

class ArchiveContents {
public:
    using Opened = codec::Result<std::shared_ptr<const ArchiveContents>>;

    virtual ~ArchiveContents() = default;

    const std::vector<ArchiveEntry>& Entries() const { return mEntries; }
    // How deep it is nested: an archive in a file is depth 0.
    int Depth() const { return mDepth; }
    // False when listing stopped early (damage, too many entries).
    bool Complete() const { return mComplete; }

    // The bytes of Entries()[entry]. TooLarge when it declares or expands past
    // maxBytes (refused before it fills memory), Unsupported when encrypted,
    // Damaged when it cannot be unpacked, ReadFailed when the archive file is
    // gone or changed since it was listed. Other files still read.
    virtual codec::Result<QByteArray> Read(int entry, qint64 maxBytes) const = 0;

    // Puts entries in the listing's order (stable: equal names keep theirs).
    static void SortByName(std::vector<ArchiveEntry>& entries);

protected:
    ArchiveContents() = default;
    std::vector<ArchiveEntry> mEntries;
    int mDepth = 0;
    bool mComplete = true;
};
