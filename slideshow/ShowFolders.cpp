#include "slideshow/ShowFolders.h"

#include <chrono>
#include <thread>

#include "imaging/PictureFile.h"
#include "slideshow/PicturePrefetch.h"
#include "slideshow/WalkLog.h"

namespace {

bool SleepUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

} // namespace

void ShowFolders::SetShowArchives(bool on, std::shared_ptr<const ClsArchivePluginManager> plugins)
{
    mArchiveNames = ArchiveNames();
    if (!on) {
        mShelf.reset();
        FolderList.SetArchiveTest({});
        return;
    }
    ArchiveShelf::OtherReader other;
    if (plugins && plugins->PluginCount() >= 0) {
        mArchiveNames.Add(plugins->SupportExtension());
        other = [plugins](const ArchiveShelf::Refused& refused) {
            return plugins->Open(refused.path, refused.bytes, refused.depth);
        };
    }
    mShelf = std::make_shared<ArchiveShelf>(EntryCache::Shared(), std::move(other));
    // A name the file list takes stays a picture.
    FolderList.SetArchiveTest(
        [this](const QString& name) { return mArchiveNames.Matches(name) && !File1.Matches(name); });
}

void ShowFolders::SearchDirs(const QString& DirPath)
{
    mNested.clear();
    mArchivePictures.clear();
    mPassedOver.clear();
    FolderList.SearchDirs(DirPath);
}

bool ShowFolders::More(std::int32_t count, bool wait)
{
    const auto grown = [&] { return FolderList.ListCount() > count; };
    if (grown() || FolderList.Complete())
        return grown();
    if (!wait)
        throw NotListedYet{};
    // As long as the walk takes; a wait cut short (the window closes) ends it.
    const Waiter waitFor = mWait ? mWait : Waiter(SleepUntil);
    while (waitFor([&] { return grown() || FolderList.Complete(); }, 1000))
        if (grown() || FolderList.Complete())
            break;
    return grown();
}

QStringList ShowFolders::Files(std::int32_t Index, bool wait)
{
    if (mShelf && FolderList.IsArchive(Index))
        return ArchiveFiles(Index, wait);
    File1.SetPath(FolderList.FindDir(Index));
    return File1.Names();
}

QStringList ShowFolders::ArchiveFiles(std::int32_t Index, bool wait)
{
    const QString path = FolderList.FindDir(Index);
    if (const auto listed = mArchivePictures.constFind(path); listed != mArchivePictures.cend())
        return *listed;

    if (const auto nested = mNested.constFind(path); nested != mNested.cend())
        mShelf->BeginNested(path, nested->holder, nested->entry, PictureFile::kMaxFileBytes);
    else
        mShelf->BeginFile(path);
    std::optional<ArchiveShelf::Opened> opened = mShelf->Find(path);
    if (!opened) {
        if (!wait)
            throw NotListedYet{};
        // A step waits for a listing once; after that the archive is passed
        // over until its listing is done.
        if (mPassedOver.contains(path))
            return {};
        const Waiter waitFor = mWait ? mWait : Waiter(SleepUntil);
        waitFor([&] { return (opened = mShelf->Find(path)).has_value(); }, PicturePrefetch::kStepWaitMs);
        if (!opened) {
            // A slow or stalled archive; its listing goes on, and a later
            // visit shows what it found.
            qCWarning(lcWalk).noquote() << "archive" << path << "is still being listed: passed over for now";
            mPassedOver.insert(path);
            return {};
        }
    }

    // An archive that cannot be listed is an empty folder (the shelf said why).
    QStringList pictures;
    QStringList nestedPaths;
    if (*opened) {
        const std::shared_ptr<const ArchiveContents>& archive = **opened;
        const std::vector<ArchiveEntry>& entries = archive->Entries();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const QString& inner = entries[i].path;
            const QString name = inner.section(u'/', -1);
            if (File1.Matches(name)) {
                pictures << inner;
            } else if (archive->Depth() < kMaxArchiveDepth && mArchiveNames.Matches(name)) {
                const QString nestedPath = path + u'/' + inner;
                nestedPaths << nestedPath;
                mNested.insert(nestedPath, Nested{archive, int(i)});
            }
        }
    }
    FolderList.InsertArchives(Index, nestedPaths);
    mNested.remove(path);
    mArchivePictures.insert(path, pictures);
    return pictures;
}
