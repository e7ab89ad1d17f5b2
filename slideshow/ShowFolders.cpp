#include "slideshow/ShowFolders.h"

#include <chrono>
#include <thread>

#include "imaging/PictureFile.h"
#include "slideshow/PicturePrefetch.h"
#include "slideshow/WalkLog.h"

namespace {

// How long a step waits for a folder's listing before the window's events
// go on meanwhile.
constexpr auto kQuickListing = std::chrono::milliseconds(20);

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
    // The walk's own listings serve the first visits.
    const std::shared_ptr<const FileListBox> pattern = Pattern();
    mWalkPattern = pattern->Pattern();
    FolderList.SetPictureTest([pattern](const QString& name) { return pattern->Matches(name); });
    mFiles.Clear();
    mNested.clear();
    mArchivePictures.clear();
    mPassedOver.clear();
    FolderList.SearchDirs(DirPath);
}

std::shared_ptr<const FileListBox> ShowFolders::Pattern()
{
    if (!mPattern || mPattern->Pattern() != File1.Pattern()) {
        mPattern = std::make_shared<const FileListBox>(File1);
        mFiles.SetLister([pattern = mPattern](const QString& path) { return pattern->ListFolder(path); });
    }
    return mPattern;
}

bool ShowFolders::WaitUntil(const std::function<bool()>& done, int timeoutMs) const
{
    const Waiter& waitFor = mWait ? mWait : Waiter(SleepUntil);
    // Without a limit, in turns of a second: the window's waiter counts its
    // time in whole turns.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (timeoutMs >= 0 && left.count() <= 0)
            return false;
        if (!waitFor(done, timeoutMs < 0 ? 1000 : int(left.count())))
            throw WaitCutShort{};
    }
    return true;
}

bool ShowFolders::More(std::int32_t count, bool wait)
{
    const auto grown = [&] { return FolderList.ListCount() > count; };
    if (grown() || FolderList.Complete())
        return grown();
    if (!wait)
        throw NotListedYet{};
    // As long as the walk takes.
    WaitUntil([&] { return grown() || FolderList.Complete(); }, -1);
    return grown();
}

QStringList ShowFolders::Files(std::int32_t Index, bool wait)
{
    if (mShelf && FolderList.IsArchive(Index))
        return ArchiveFiles(Index, wait);
    return FolderPictures(Index, wait);
}

QStringList ShowFolders::FolderPictures(std::int32_t Index, bool wait)
{
    Pattern();
    const QString path = FolderList.FindDir(Index);
    // Listed a moment ago by the walk: no request of our own. A step takes
    // them; the next visit lists the folder anew.
    if (std::optional<QStringList> pictures = FolderList.KeptPictures(Index, wait);
        pictures && mWalkPattern == File1.Pattern())
        return *pictures;
    if (!wait) {
        const std::optional<FolderFiles::Listing> ahead = mFiles.Ahead(path);
        if (!ahead || !ahead->Done())
            throw NotListedYet{};
        return ahead->Names();
    }
    const FolderFiles::Listing listing = mFiles.ForStep(path);
    // On a disk that answers at once the window does not turn its event
    // loop; a slow folder is waited for as long as it takes.
    if (!listing.WaitFor(kQuickListing))
        WaitUntil([&] { return listing.Done(); }, -1);
    return listing.Names();
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
        if (!WaitUntil([&] { return (opened = mShelf->Find(path)).has_value(); }, PicturePrefetch::kStepWaitMs)) {
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
