#include "archives/ArchiveShelf.h"

#include "archives/ArchiveLog.h"

#include <pthread.h>

ArchiveShelf::ArchiveShelf(std::shared_ptr<EntryCache> cache, OtherReader other)
    : mCache(std::move(cache)), mOther(std::move(other)), mTable(std::make_shared<Table>())
{
}

namespace {

// The built-in reader's answer, or the other reader's when the built-in one
// failed and the other takes the archive.
ArchiveShelf::Opened EitherReader(codec::Result<std::shared_ptr<const ArchiveIndex>> builtIn,
                                  const ArchiveShelf::OtherReader& other, const ArchiveShelf::Refused& refused)
{
    if (builtIn)
        return std::shared_ptr<const ArchiveContents>(*builtIn);
    if (other)
        if (std::optional<ArchiveShelf::Opened> taken = other(refused))
            return std::move(*taken);
    return builtIn.error();
}

} // namespace

ArchiveShelf::~ArchiveShelf()
{
    JoinFinished();
    // A listing still running (a stalled mount) is not waited for: it keeps
    // the table it writes to alive, and its result is dropped with it.
    for (ListingThread& stuck : mThreads) {
        qCWarning(lcArchive) << "a listing that has not ended is left behind";
        stuck.thread.detach();
    }
    std::lock_guard lock(mTable->mutex);
    mTable->archives.clear();
}

void ArchiveShelf::JoinFinished()
{
    std::erase_if(mThreads, [](ListingThread& t) {
        if (!t.finished->load())
            return false;
        t.thread.join();
        return true;
    });
}

void ArchiveShelf::BeginFile(const QString& folderPath)
{
    Begin(folderPath, [folderPath, cache = mCache, other = mOther] {
        return EitherReader(ArchiveIndex::OpenFile(folderPath, cache), other, {folderPath});
    });
}

void ArchiveShelf::BeginNested(const QString& folderPath, std::shared_ptr<const ArchiveContents> holder, int entry,
                               qint64 maxBytes)
{
    Begin(folderPath, [folderPath, holder = std::move(holder), entry, maxBytes, cache = mCache, other = mOther]() -> Opened {
        const codec::Result<QByteArray> bytes = holder->Read(entry, maxBytes);
        if (!bytes)
            return bytes.error();
        const int depth = holder->Depth() + 1;
        return EitherReader(ArchiveIndex::OpenMemory(*bytes, folderPath, depth, cache), other,
                            {folderPath, &*bytes, depth});
    });
}

void ArchiveShelf::Begin(const QString& folderPath, Lister list)
{
    {
        std::lock_guard lock(mTable->mutex);
        if (mTable->archives.contains(folderPath))
            return;
        mTable->archives.insert(folderPath, std::nullopt);
    }
    JoinFinished();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([table = mTable, folderPath, list = std::move(list), finished] {
        pthread_setname_np(pthread_self(), "velmora-list");
        Listed listed{list(), {}};
        if (listed.opened) {
            const std::vector<ArchiveEntry>& entries = (*listed.opened)->Entries();
            listed.byPath.reserve(qsizetype(entries.size()));
            for (std::size_t i = 0; i < entries.size(); ++i)
                listed.byPath.insert(entries[i].path, int(i)); // a repeated name reads its last copy
        } else {
            qCWarning(lcArchive).noquote() << "archive" << folderPath
                                           << "cannot be listed:" << listed.opened.error().Describe().c_str();
        }
        {
            std::lock_guard lock(table->mutex);
            const auto at = table->archives.find(folderPath);
            if (at != table->archives.end())
                *at = std::move(listed);
        }
        finished->store(true);
    });
    mThreads.push_back({std::move(thread), std::move(finished)});
}

std::optional<ArchiveShelf::Opened> ArchiveShelf::Find(const QString& folderPath) const
{
    std::lock_guard lock(mTable->mutex);
    const auto at = mTable->archives.constFind(folderPath);
    if (at == mTable->archives.cend() || !*at)
        return std::nullopt;
    return (*at)->opened;
}

std::optional<ArchiveShelf::Located> ArchiveShelf::Locate(const QString& picturePath) const
{
    std::lock_guard lock(mTable->mutex);
    if (mTable->archives.isEmpty())
        return std::nullopt;
    // The innermost archive first: its folder path is the longest.
    for (qsizetype slash = picturePath.lastIndexOf(u'/'); slash > 0; slash = picturePath.lastIndexOf(u'/', slash - 1)) {
        const auto at = mTable->archives.constFind(picturePath.left(slash));
        if (at == mTable->archives.cend())
            continue;
        if (!*at || !(*at)->opened)
            return Located{};
        const int entry = (*at)->byPath.value(picturePath.mid(slash + 1), -1);
        return Located{*(*at)->opened, entry};
    }
    return std::nullopt;
}
