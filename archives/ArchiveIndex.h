#pragma once
// An archive's files, listed once: ZIP/CBZ, 7z/CB7, RAR/RAR5/CBR, TAR (plain,
// gzip, bzip2, xz, zstd), LZH/LHA and ISO, recognised by content whatever the
// file's name. Read through libarchive; nothing is ever written to disk.
//
// Threads: an index does not change once listed, and a Read of a ZIP, a
// plain tar, LZH or ISO opens a libarchive reader of its own (libarchive's
// readers are not thread-safe, and a lock around one shared reader would
// let one thread's unpack hold up every other thread's), so several decoding
// threads read files of the same archive at once. An archive that unpacks
// the files before the one asked for (solid 7z and RAR, compressed tar) is
// read by one thread at a time instead, and its reader is kept where the
// last read stopped (for the last two such archives read: each holds its
// decoder's dictionary): the next file on is reached without unpacking from
// the start again, and a second thread would only unpack what the first one
// is unpacking anyway. The EntryCache is shared, behind its own lock.
#include "archives/ArchiveContents.h"
#include "archives/EntryCache.h"
#include "codecs/CodecResult.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/types.h>

class ArchiveIndex : public ArchiveContents {
public:
    using Opened = codec::Result<std::shared_ptr<const ArchiveIndex>>;

    // Listing stops after this many headers (folders included); the index
    // keeps what was listed and says it is not complete.
    static constexpr int kMaxHeaders = 1'000'000;

    // An archive in a file. NotThisFormat for a file that is not an archive
    // or is empty; ReadFailed for a folder, a device or a FIFO (refused at
    // once, never waited on) and a file that cannot be opened. A damaged
    // archive lists the files before the damage.
    static Opened OpenFile(const QString& path, std::shared_ptr<EntryCache> cache = EntryCache::Shared());
    // An archive in memory, e.g. one inside another; name is for log lines,
    // depth is how deep it is nested (an archive in a file is depth 0).
    static Opened OpenMemory(const QByteArray& bytes, const QString& name, int depth,
                             std::shared_ptr<EntryCache> cache = EntryCache::Shared());
    // The archive that entries()[entry] is, one level deeper. The caller
    // checks Depth() against its own limit before going on.
    Opened OpenNested(int entry, qint64 maxBytes) const;

    ~ArchiveIndex() override;
    ArchiveIndex(const ArchiveIndex&) = delete;
    ArchiveIndex& operator=(const ArchiveIndex&) = delete;

    // libarchive's name of the format, e.g. "ZIP 2.0 (deflation)".
    const QString& Format() const { return mFormat; }

    codec::Result<QByteArray> Read(int entry, qint64 maxBytes) const override;

private:
    struct Source;
    struct Pass;
    class ParkedReaders;
    ArchiveIndex() = default;
    static Opened List(std::unique_ptr<ArchiveIndex> index);
    // A libarchive reader over the archive, names in charset (nullptr: as stored).
    codec::Result<std::unique_ptr<Source>> OpenSource(const char* charset) const;
    // Whether the archive's file is still the one listed (an archive in
    // memory always is).
    bool IsAsListed(const struct stat& st) const;
    bool StillAsListed() const;
    codec::Result<Pass> ListPass(const char* charset) const;

    QString mName;                      // the path, or the name given with the bytes
    QByteArray mBytes;                  // an archive in memory
    bool mInMemory = false;
    dev_t mDevice = 0;                  // an archive in a file, as listed
    ino_t mInode = 0;
    qint64 mFileSize = 0;
    std::int64_t mModified = 0;
    bool mUnpacksOnTheWay = false;      // reaching a file unpacks those before it
    const char* mCharset = nullptr;     // the names' charset told to libarchive, if any
    QString mFormat;
    std::vector<int> mByHeader;         // entry indexes in header order
    std::uint64_t mCacheId = 0;
    std::shared_ptr<EntryCache> mCache;
    // An archive that unpacks on the way is read one Read at a time.
    mutable std::mutex mSolidRead;
};
